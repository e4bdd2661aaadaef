"""The package's one exception type."""


class CameraError(RuntimeError):
    """A camera call failed. `code` is the extension's `TOFErrorCode` (None
    when the failure is the package's own). `reason` says more where the
    package knows it: "gone" (the module's reads keep failing) or "stalled"
    (reads succeed, no frame arrives) for a stream that stopped delivering."""

    def __init__(self, message, code=None, reason=None):
        super().__init__(message)
        self.code = code
        self.reason = reason


def _extra_hint(extra):
    # The package is on no package index, so "pip install NAME[extra]" finds
    # nothing: the extra comes from the checkout or from the wheel file.
    return (f"pip install '.[{extra}]' in a checkout of the source, or "
            f"pip install 'quorvexdepthcamera-<version>-<tags>.whl[{extra}]' with the wheel file")
