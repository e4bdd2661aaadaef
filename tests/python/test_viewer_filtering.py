"""The viewer's own filter chain shows what the package's filters give for
the same light, whichever module variant, and starts its temporal average
again where the stream breaks."""
import dataclasses

import numpy as np
import pytest

import quorvex
from quorvex.filters import FilteredSource

pytest.importorskip("aiohttp")
from quorvex.viewer.filtering import ViewerFilters  # noqa: E402

H, W = 48, 64


def info_of(variant):
    return quorvex.StreamInfo(source="test", variant=variant, width=W, height=H, output="depth",
                              intrinsics=quorvex.nominal_intrinsics(W, H), controls={"range": 4000})


def scene(n, unit=1.0, seed=7):
    """A noisy near wall, a far one behind a step, a strip too dark to trust;
    amplitudes in HQVGA units divided by `unit` (a VGA module reports 1/16)."""
    rng = np.random.default_rng(seed)
    amp = np.where(np.arange(W) < 12, 40.0, np.where(np.arange(W) < 40, 3000.0, 750.0)) * np.ones((H, 1))
    depth = np.where(np.arange(W) < 40, 1500.0, 2600.0) + rng.normal(0.0, 6.0, (n, H, W))
    return [quorvex.Frame(i, 33 * i, 0, 0, W, H, "depth", depth=d.astype(np.float32),
                          amplitude=(amp / unit).astype(np.float32)) for i, d in enumerate(depth)]


class ListSource:
    def __init__(self, frames, info):
        self.info, self.frames = info, lambda: iter(frames)


@pytest.mark.parametrize("path", ["viewer", "filter_depth", "FilteredSource"])
@pytest.mark.parametrize("variant, unit", [("hqvga", 1.0), ("vga", 16.0)])
def test_every_path_filters_the_same_light_alike(path, variant, unit):
    truth = [f.depth for f in quorvex.filter_depth(scene(4), quorvex.Filters("default"), range_mm=4000)]
    frames, info = scene(4, unit), info_of(variant)
    if path == "viewer":
        vf = ViewerFilters("default", info)
        got = [vf.apply(f)[0].depth for f in frames]
    elif path == "filter_depth":
        got = [f.depth for f in quorvex.filter_depth(frames, "default", info=info)]
    else:
        got = [f.depth for f in FilteredSource(ListSource(frames, info)).frames()]
    np.testing.assert_array_equal(got, truth)
    # The dark strip goes and the walls stay: the comparison sees the units.
    assert (got[-1][:, :12] == 0).all() and (got[-1][1:-1, 14:38] > 0).mean() > 0.97


@pytest.mark.parametrize("between, fresh_from", [("next frame", 0), ("seek", 1), ("raw shown", 1),
                                                  ("range set", 1), ("mode set", 1)])
def test_temporal_average_restarts_where_the_stream_breaks(between, fresh_from):
    a, b = scene(2)
    range_mm = 2000 if between == "range set" else 4000
    chain = quorvex.Filters("default")
    expected = [chain.filter(f.depth, f.amplitude, range_mm) for f in (a, b)[fresh_from:]][-1]
    vf = ViewerFilters("default", info_of("hqvga"))
    vf.apply(a, 10)
    if between == "raw shown":
        vf.set("filtered", 0)
        assert vf.apply(a, 11) == (a, False)
        vf.set("filtered", 1)
    elif between == "range set":
        vf.range_changed(2000)
    elif between == "mode set":
        vf.range_changed(4000)  # a VGA mode change that keeps the range still measures anew
    got, filtered = vf.apply(b, 3 if between == "seek" else 11 + (between == "raw shown"))
    assert filtered
    np.testing.assert_array_equal(got.depth, expected)


def test_a_source_without_a_range_is_shown_raw_when_asked():
    from quorvex.viewer import Viewer

    info = dataclasses.replace(info_of("hqvga"), controls={})
    source = ListSource(scene(1), info)
    viewer = Viewer(source, filters="default", filtered=False)   # view --filters none
    assert viewer.page_filters is None and "filtered" not in viewer.controls
    with pytest.raises(ValueError, match="--filters none shows such a source raw"):
        Viewer(source, filters="default", filtered=True)
