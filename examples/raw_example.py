"""Grab one RAW frame and print what it holds.

    python examples/raw_example.py [--config FILE]
"""
import argparse
import sys

import QuorvexDepthCamera as q


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", help="configuration file for openWithFile")
    args = parser.parse_args()

    cam = q.QuorvexCamera()
    status = cam.openWithFile(args.config) if args.config else cam.open(q.TOFConnect.USB)
    if status != q.TOFErrorCode.QuorvexSuccess:
        sys.exit(f"open failed: {status.str()}")
    if cam.start(q.TOFOutput.RAW) != q.TOFErrorCode.QuorvexSuccess:
        cam.close()
        sys.exit("start failed")
    try:
        frame = cam.requestFrame(2000)
        if frame is None:
            sys.exit("no frame within 2 s")
        raw = frame.getRawData()
        fmt = frame.getFrameFormat()
        cam.releaseFrame(frame)
    finally:
        cam.stop()
        cam.close()

    print(f"raw frame {fmt.width} x {fmt.height}, timestamp {fmt.timestamp}")
    print(f"samples: dtype {raw.dtype}, shape {raw.shape}, min {raw.min()}, max {raw.max()}")


if __name__ == "__main__":
    main()
