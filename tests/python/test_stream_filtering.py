"""Every way a stream's depth is filtered (the camera, filter_depth,
FilteredSource, the viewer) follows the same rules: where the temporal
average starts again, which range the chain is given, and which units its
amplitudes are in. A chain that logs its calls shows what each did."""
import numpy as np
import pytest

import quorvex
from quorvex.filters import FilteredSource

H, W = 12, 16


class Logged(quorvex.Filters):
    """The default chain, logging "reset" and the range of each frame."""

    def __init__(self):
        super().__init__("default")
        object.__setattr__(self, "log", [])
        object.__setattr__(self, "amplitudes", [])

    def reset(self):
        self.log.append("reset")
        super().reset()

    def filter(self, depth, amplitude, range_mm):
        self.log.append(range_mm)
        self.amplitudes.append(np.asarray(amplitude).copy())
        return super().filter(depth, amplitude, range_mm)


def frame(i, h=H, w=W, amplitude=True):
    depth = np.full((h, w), 1500.0 + i, np.float32)
    amp = np.full((h, w), 3000.0, np.float32) if amplitude else None
    return quorvex.Frame(i, 33 * i, 0, 0, w, h, "depth", depth=depth, amplitude=amp)


def info_of(variant="hqvga", controls=None):
    return quorvex.StreamInfo(source="test", variant=variant, width=W, height=H, output="depth",
                              intrinsics=quorvex.nominal_intrinsics(W, H),
                              controls={"range": 4000} if controls is None else controls)


class Scripted:
    """A source whose frames come from a script: a Frame is yielded, ("range",
    mm) is set as a control (through `set_through`) before the next one."""

    def __init__(self, script, info):
        self.script, self.info = script, info
        self.set_through = self.set_control

    def frames(self, max_frames=None):
        for step in self.script:
            if isinstance(step, quorvex.Frame):
                yield step
            else:
                self.set_through(*step)

    def set_control(self, name, value):
        self.info.controls[name] = value

    def close(self):
        pass


def through_filter_depth(script, chain, info):
    return list(quorvex.filter_depth(script, chain, info=info))


def through_filtered_source(script, chain, info):
    inner = Scripted(script, info)
    source = FilteredSource(inner, chain)
    inner.set_through = source.set_control  # as a viewer or a program sets it
    return list(source.frames())


def through_viewer(script, chain, info):
    pytest.importorskip("aiohttp")
    from quorvex.viewer.filtering import ViewerFilters
    vf = ViewerFilters(chain, info)
    out, position = [], 0
    for step in script:
        if isinstance(step, quorvex.Frame):
            out.append(vf.apply(step, position)[0])
            position += 1
        elif step[0] == "range":
            vf.range_changed(step[1])
        elif step[0] == "seek":
            position += step[1]
        elif step[0] == "raw shown":
            vf.set("filtered", 0)
            out.append(vf.apply(frame(99), position)[0])
            vf.set("filtered", 1)
    return out


CONSUMERS = {"filter_depth": through_filter_depth, "FilteredSource": through_filtered_source,
             "viewer": through_viewer}
A, B = frame(0), frame(1)
# script, consumers it applies to, the chain's log
SCRIPTS = {
    "one run": ([A, B, frame(2)], CONSUMERS, ["reset", 4000, 4000, 4000]),
    "range set": ([A, ("range", 2000), B], ("FilteredSource", "viewer"), ["reset", 4000, "reset", 2000]),
    "size changed": ([A, frame(1, H + 2, W), frame(2, H + 2, W)], CONSUMERS,
                     ["reset", 4000, "reset", 4000, 4000]),
    "unfiltered frame": ([A, frame(1, amplitude=False), B], CONSUMERS, ["reset", 4000, "reset", 4000]),
    "raw shown": ([A, ("raw shown",), B], ("viewer",), ["reset", 4000, "reset", 4000]),
    "seek": ([A, ("seek", 5), B], ("viewer",), ["reset", 4000, "reset", 4000]),
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("script", SCRIPTS)
def test_the_temporal_average_restarts_alike_everywhere(consumer, script):
    steps, consumers, log = SCRIPTS[script]
    if consumer not in consumers:
        pytest.skip(f"{consumer} has no {script}")
    chain = Logged()
    out = CONSUMERS[consumer](steps, chain, info_of())
    assert chain.log == log
    # Frames with nothing to filter by pass as they are.
    given = [s for s in steps if isinstance(s, quorvex.Frame)]
    for got, was in zip(out, given):
        assert (got is was) == (was.amplitude is None)
    # A second stream through the same chain starts afresh too.
    if consumer != "viewer":
        del chain.log[:]
        CONSUMERS[consumer]([A, B], chain, info_of())
        assert chain.log == ["reset", 4000, 4000]


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("variant, unit", [("hqvga", 1), ("vga", 16)])
def test_amplitudes_reach_the_chain_in_its_units(consumer, variant, unit):
    chain = Logged()
    CONSUMERS[consumer]([A], chain, info_of(variant))
    np.testing.assert_array_equal(chain.amplitudes[0], A.amplitude * unit)
    assert A.amplitude[0, 0] == 3000.0  # the frame given is left as it is


@pytest.mark.parametrize("consumer", CONSUMERS)
def test_no_range_is_refused_never_guessed(consumer):
    with pytest.raises(ValueError, match="range"):
        CONSUMERS[consumer]([A], Logged(), info_of(controls={}))
    # The range given by hand stands in for the stream's.
    if consumer == "filter_depth":
        chain = Logged()
        list(quorvex.filter_depth([A], chain, range_mm=2000, info=info_of(controls={})))
        assert chain.log == ["reset", 2000]


def test_filtered_source_without_filters_passes_everything():
    source = FilteredSource(Scripted([A], info_of()), None)
    assert source.info.filters is None and list(source.frames()) == [A]


def test_the_camera_follows_its_range_and_starts_each_stream_afresh():
    chain = Logged()
    with quorvex.Camera(filters=chain) as cam:
        assert cam.filters is chain
        first = list(cam.frames(max_frames=2))
        cam.set_control("range", 2000)
        list(cam.frames(max_frames=2))
        cam.start()
        list(cam.frames(max_frames=1))
    assert chain.log == ["reset", 4000, 4000, "reset", 2000, 2000, "reset", 2000]
    # The module's own amplitude units on HQVGA, the frame's amplitude as taken.
    np.testing.assert_array_equal(chain.amplitudes[0], first[0].amplitude)


def test_the_vga_camera_scales_its_amplitudes(tmp_path):
    cfg = tmp_path / "module.cfg"
    cfg.write_text("variant = vga\nfps = 0\nscene = flat\nwidth = 320\nheight = 240\ndistance = 1100\n")
    chain = Logged()
    with quorvex.Camera(config=cfg, filters=chain) as cam:
        # A VGA frame takes seconds to decode under emulation.
        (f,) = cam.frames(max_frames=1, stall_timeout=60)
    assert chain.log == ["reset", 1250]
    np.testing.assert_array_equal(chain.amplitudes[0], f.amplitude * 16)
