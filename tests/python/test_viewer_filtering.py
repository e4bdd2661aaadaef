"""The viewer's own filter chain: what it shows is what the package's
filters give for the same frames, whichever module variant, and its
temporal state starts again where the stream does not continue."""
import dataclasses
import json
import time

import numpy as np
import pytest

import quorvex
from quorvex.filters import FilteredSource

H, W = 48, 64
BRIGHT = 3000.0  # amplitude of the near wall, in the 240 x 180 module's units


def info_of(variant, range_mm=4000, filters=None):
    return quorvex.StreamInfo(source="test", variant=variant, width=W, height=H, output="depth",
                              intrinsics=quorvex.nominal_intrinsics(W, H),
                              controls={"range": range_mm}, filters=filters)


def scene(n, unit=1.0, seed=7):
    """A noisy near wall, a far one behind a step, and a strip too dark to
    trust; amplitudes divided by `unit` (the VGA module reports 1/32 of the
    HQVGA module's for the same light)."""
    rng = np.random.default_rng(seed)
    amp = np.full((H, W), BRIGHT, np.float32)
    amp[:, :12] = 40.0
    amp[:, 40:] = BRIGHT / 4
    out = []
    for i in range(n):
        depth = np.where(np.arange(W) < 40, 1500.0, 2600.0) + rng.normal(0.0, 6.0, (H, W))
        out.append(quorvex.Frame(sequence=i, timestamp_ms=33 * i, host_time_ns=0, dropped=0, width=W,
                                 height=H, output="depth", depth=depth.astype(np.float32),
                                 amplitude=amp / np.float32(unit)))
    return out


class ListSource:
    """The frames given, then (`repeat`) the last one again at 50 fps, for
    at most 30 s."""

    def __init__(self, frames, info, repeat=False):
        self._frames, self.info, self._repeat = frames, info, repeat

    def frames(self, max_frames=None):
        yield from self._frames[:max_frames]
        for i in range(1500 if self._repeat else 0):
            time.sleep(0.02)
            yield dataclasses.replace(self._frames[-1], sequence=len(self._frames) + i)

    def close(self):
        pass


def through_viewer(frames, info, positions=None):
    from quorvex.viewer.filtering import ViewerFilters

    vf = ViewerFilters("default", info)
    positions = positions or [None] * len(frames)
    return [vf.apply(f, p) for f, p in zip(frames, positions)]


@pytest.mark.parametrize("path", ["viewer", "filter_depth", "FilteredSource"])
@pytest.mark.parametrize("variant, unit", [("hqvga", 1.0), ("vga", 32.0)])
def test_every_path_filters_a_module_as_the_same_light_in_hqvga_units(path, variant, unit):
    pytest.importorskip("aiohttp")
    # Ground truth: the HQVGA frames of the same light through a chain of their own.
    truth = [f.depth for f in quorvex.filter_depth(scene(4), quorvex.Filters("default"), range_mm=4000)]
    frames, info = scene(4, unit), info_of(variant)
    if path == "viewer":
        shown = through_viewer(frames, info)
        assert all(filtered for _, filtered in shown)
        got = [f.depth for f, _ in shown]
    elif path == "filter_depth":
        got = [f.depth for f in quorvex.filter_depth(frames, "default", info=info)]
    else:
        got = [f.depth for f in FilteredSource(ListSource(frames, info)).frames()]
    for g, t in zip(got, truth):
        np.testing.assert_array_equal(g, t)
    # The dark strip goes, the walls stay: the test sees the units.
    assert (got[-1][:, :12] == 0).all() and (got[-1][1:-1, 14:38] > 0).mean() > 0.97
    assert (frames[-1].amplitude == scene(1, unit)[0].amplitude).all()  # the frames are left alone


def test_temporal_state_follows_the_stream_and_restarts_where_it_breaks():
    pytest.importorskip("aiohttp")
    from quorvex.viewer.filtering import ViewerFilters

    a, b = scene(2)
    info = info_of("hqvga")

    def fresh(*frames, range_mm=4000):
        return list(quorvex.filter_depth(frames, quorvex.Filters("default"), range_mm=range_mm))[-1].depth

    cases = [
        # (what happens between a and b, expected depth of b)
        ("next frame", fresh(a, b)),
        ("seek", fresh(b)),
        ("raw shown", fresh(b)),
        ("range set", fresh(b, range_mm=2000)),
    ]
    assert not np.array_equal(fresh(a, b), fresh(b))  # the cases can tell the two apart
    for between, expected in cases:
        vf = ViewerFilters("default", info)
        vf.apply(a, 10)
        position = 11
        if between == "seek":
            position = 3
        elif between == "raw shown":
            vf.set("filtered", 0)
            shown, filtered = vf.apply(a, 11)
            assert not filtered and shown is a
            vf.set("filtered", 1)
            position = 12
        elif between == "range set":
            vf.range_changed(2000)
        got, filtered = vf.apply(b, position)
        assert filtered
        np.testing.assert_array_equal(got.depth, expected, err_msg=between)


def test_threshold_slider_sets_the_allowed_noise_and_frames_without_amplitude_pass_raw():
    pytest.importorskip("aiohttp")
    from quorvex.viewer.filtering import ViewerFilters

    (frame,) = scene(1)
    vf = ViewerFilters(quorvex.Filters("default", temporal=False), info_of("hqvga"))
    assert vf.controls()["confidence"]["value"] == 20  # 0.02 of the depth
    kept = {}
    for per_mille in (100, 20, 3):
        vf.set("confidence", per_mille)
        got, _ = vf.apply(frame)
        expected = quorvex.Filters("default", temporal=False, max_noise=per_mille / 1000)
        np.testing.assert_array_equal(got.depth, expected.filter(frame.depth, frame.amplitude, 4000))
        kept[per_mille] = np.count_nonzero(got.depth)
    assert kept[100] >= kept[20] > kept[3]
    bare = quorvex.Frame(0, 0, 0, 0, W, H, "depth", depth=frame.depth)
    assert vf.apply(bare) == (bare, False)


def test_page_toggle_and_upstream_filters_over_the_websocket():
    pytest.importorskip("aiohttp")
    import asyncio

    import aiohttp

    from quorvex.viewer import ServerThread, Viewer
    from quorvex.viewer import protocol

    frames = scene(1)
    already = Viewer(ListSource(frames, info_of("hqvga", filters={"preset": "near"})), port=0,
                     filters="default")
    assert already.page_filters is None and "filtered" not in already.controls
    viewer = Viewer(ListSource(frames, info_of("hqvga"), repeat=True), port=0, filters="default")
    assert {"filtered", "confidence"} <= set(viewer.controls)

    async def page(url):
        flags = []
        async with aiohttp.ClientSession() as s:
            ws = await s.ws_connect(url)
            hello = json.loads((await ws.receive(timeout=5)).data)
            assert hello["filters"] == {"preset": "default", "by": "viewer"}
            while len(flags) < 40:
                msg = await ws.receive(timeout=5)
                if msg.type != aiohttp.WSMsgType.BINARY:
                    continue
                fields, depth, _, _ = protocol.decode_frame(msg.data)
                flags.append(fields["filtered"])
                if not fields["filtered"]:
                    np.testing.assert_array_equal(depth, np.rint(frames[0].depth))
                    break
                if len(flags) == 3:
                    await ws.send_str(json.dumps({"type": "set", "control": "filtered", "value": 0}))
                await ws.send_str(json.dumps({"type": "ack", "seq": fields["sequence"]}))
            await ws.close()
        return flags

    with ServerThread(viewer) as server:
        flags = asyncio.run(asyncio.wait_for(page(viewer.url("127.0.0.1").replace("/?", "/ws?")), 30))
    assert flags[:3] == [True] * 3 and flags[-1] is False


def test_view_opens_the_camera_raw_for_its_own_filters():
    pytest.importorskip("aiohttp")
    import argparse

    from quorvex.commands.view import add_arguments, open_source

    parser = argparse.ArgumentParser()
    add_arguments(parser)
    args = parser.parse_args([])
    assert args.filters == "default"
    with open_source(args) as cam:
        assert cam.filters is None and cam.info.filters is None
    assert args.filters == "default"
