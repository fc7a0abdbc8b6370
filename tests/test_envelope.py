import math

import pytest

import _sonolith as so

from .models.envelope import Envelope, define


def observe(env):
    return env.level, env.state


@pytest.mark.parametrize("args, kwargs, level, state", [
    ((48000, False), {}, 32767, 1),
    ((48000, True), {"attack_time": 0.0}, 32767, 1),
    ((48000, True), {"attack_time": 1.0}, 174, 0),
    ((48000, True), {"attack_time": 1.0, "attack_level": 0.5}, 87, 0),
])
def test_construction_takes_first_tick(args, kwargs, level, state):
    assert observe(so.EnvelopeState(*args, **kwargs)) == (level, state)


def test_disabled_envelope_holds_full_level_until_released():
    env = so.EnvelopeState(48000, False)
    env.step(256)
    assert observe(env) == (32767, 2)
    env.release()
    assert observe(env) == (32767, 3)
    env.step(256)
    assert observe(env) == (0, 3)


def test_partial_ticks_accumulate():
    env = so.EnvelopeState(48000, True, attack_time=1.0)
    env.step(255)
    assert env.level == 174
    env.step(1)
    assert env.level == 348
    env.step(65536)  # only the low 16 bits count
    assert env.level == 348
    env.step(65536 + 256)
    assert env.level == 522


def test_levels_are_fractions_of_the_attack_level():
    env = so.EnvelopeState(48000, True, sustain_level=0.5, attack_level=0.5)
    assert define(48000, True, sustain_level=0.5, attack_level=0.5)[3:] == (16383, 8191)
    assert observe(env) == (16383, 1)
    env.step(256)
    assert observe(env) == (8191, 2)


def test_release_with_zero_time_drops_to_zero_on_next_tick():
    env = so.EnvelopeState(48000, True, attack_time=0.5, release_time=0.0)
    env.step(256 * 10)
    env.release()
    assert env.state == 3
    env.step(256)
    assert observe(env) == (0, 3)
    env.reattack()
    env.step(256)
    assert env.state == 0 and env.level > 0


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError),
                                      (1.0, TypeError)])
def test_step_rejects_non_sizes_and_changes_nothing(bad, exc):
    env = so.EnvelopeState(48000, True, attack_time=1.0)
    env.step(200)
    with pytest.raises(exc):
        env.step(bad)
    env.step(56)  # the 200 samples from before are still counted
    assert env.level == 348


def test_argument_errors_name_the_call():
    with pytest.raises(TypeError, match="EnvelopeState"):
        so.EnvelopeState(48000)
    env = so.EnvelopeState(48000, True)
    with pytest.raises(TypeError, match="set_definition"):
        env.set_definition(48000, True, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0)
    with pytest.raises(TypeError):
        env.set_definition(sample_rate=48000, enabled=True, attack="x")


def test_keywords_and_redefinition_keep_running_state():
    env = so.EnvelopeState(sample_rate=44100, enabled=True, attack_time=0.1, decay_time=0.2,
                           release_time=0.3, attack_level=0.9, sustain_level=0.4)
    model = Envelope(44100, True, 0.1, 0.2, 0.3, 0.9, 0.4)
    env.step(256 * 5), model.step(256 * 5)
    env.set_definition(8000, True, attack_time=0.01, sustain_level=0.7)
    model.set_definition(8000, True, attack_time=0.01, sustain_level=0.7)
    assert observe(env) == (model.level, model.state)
    for _ in range(40):
        env.step(300), model.step(300)
        assert observe(env) == (model.level, model.state)


def test_reinit_restarts_from_zero():
    env = so.EnvelopeState(48000, True, attack_time=1.0)
    env.step(256 * 50)
    env.release()
    env.__init__(48000, True, attack_time=1.0)
    assert observe(env) == (174, 0)


def random_definition(rng, wild=False):
    rate = int(rng.choice([0, 1, 8000, 44100, 48000, 96000, 2**32 - 1]))
    times = [float(rng.choice([0.0, rng.uniform(0, 0.05), rng.uniform(0, 2)])) for _ in range(3)]
    levels = [float(rng.uniform(0, 1.0)) for _ in range(2)]
    if wild:
        specials = [math.nan, math.inf, -math.inf, -1.0, 1e12, -1e12, 3.0, -0.3, 1e-300]
        times = [float(rng.choice(specials)) if rng.random() < 0.4 else t for t in times]
        levels = [float(rng.choice(specials)) if rng.random() < 0.4 else v for v in levels]
    return (rate, bool(rng.random() < 0.85), *times, *levels)


@pytest.mark.parametrize("wild", [False, True])
def test_matches_model_over_random_runs(rng, wild):
    for _ in range(60):
        definition = random_definition(rng, wild)
        env, model = so.EnvelopeState(*definition), Envelope(*definition)
        for _ in range(60):
            action = rng.random()
            if action < 0.05:
                env.release(), model.release()
            elif action < 0.08:
                env.reattack(), model.reattack()
            elif action < 0.1:
                definition = random_definition(rng, wild)
                env.set_definition(*definition), model.set_definition(*definition)
            else:
                n = int(rng.choice([rng.integers(0, 300), rng.integers(0, 70000)]))
                env.step(n), model.step(n)
            assert observe(env) == (model.level, model.state), definition
            assert -32768 <= env.level <= 32767


def test_uninitialised_object_is_rejected():
    env = so.EnvelopeState.__new__(so.EnvelopeState)
    for call in (lambda: env.step(256), env.release, env.reattack, lambda: env.level,
                 lambda: env.state, lambda: env.set_definition(48000, True)):
        with pytest.raises(ValueError):
            call()
