"""The package's one exception type, and what the native layers say."""
import contextlib
import os
import sys
import tempfile


class CameraError(RuntimeError):
    """A camera call failed. `code` is the extension's `TOFErrorCode` (None
    when the failure is the package's own). `reason` says more where the
    package knows it: "gone" (the module's reads keep failing) or "stalled"
    (reads succeed, no frame arrives) for a stream that stopped delivering."""

    def __init__(self, message, code=None, reason=None):
        super().__init__(message)
        self.code = code
        self.reason = reason
        # What the module's libraries said of a failed open, line by line.
        self.library_reasons = []


def _extra_hint(extra):
    # The package is on no package index, so "pip install NAME[extra]" finds
    # nothing: the extra comes from the checkout or from the wheel file.
    return (f"pip install '.[{extra}]' in a checkout of the source, or "
            f"pip install 'quorvexdepthcamera-<version>-<tags>.whl[{extra}]' with the wheel file")


@contextlib.contextmanager
def native_stderr():
    """Collects what the extension and the module's libraries write to
    standard error meanwhile (their reasons for a failure, notes on which
    library is in use) as a list of lines for the caller to fold into its
    message or print; printed here only when the block ends by an
    exception. Descriptor 2 is the process's: a line another thread writes
    meanwhile is collected too."""
    said = []
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError):  # no descriptor 2 (embedded): nothing to collect
        yield said
        return
    failed = True
    with tempfile.TemporaryFile(mode="w+b") as f:
        os.dup2(f.fileno(), 2)
        try:
            yield said
            failed = False
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            f.seek(0)
            text = f.read().decode(errors="replace")
            said.extend(line.strip() for line in text.splitlines() if line.strip())
            if failed and text:
                sys.stderr.write(text)


def is_library_notice(line):
    """A line of the libraries that names the one in use (kept on standard
    error, never taken for the reason of a failure)."""
    return line.startswith("using the ")
