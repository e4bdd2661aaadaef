"""A subscriber process for the network tests: subscribes to KEY through
ENDPOINT, says "ready" once the publisher has answered, then writes one JSON
line per frame (sequence, timestamp, dropped, SHA-256 of each plane) until no
frame comes twice in a row for STALL seconds or LIMIT seconds have passed.

    python network_peer.py KEY ENDPOINT OUT [--lossless] [--stall S] [--limit S]
"""
import argparse
import hashlib
import json
import sys
import time

import quorvex
from quorvex.errors import CameraError


def main():
    p = argparse.ArgumentParser()
    p.add_argument("key")
    p.add_argument("endpoint")
    p.add_argument("out")
    p.add_argument("--lossless", action="store_true")
    p.add_argument("--stall", type=float, default=1.5)
    p.add_argument("--limit", type=float, default=60.0)
    p.add_argument("--queue", type=int, default=30)
    a = p.parse_args()
    deadline = time.monotonic() + a.limit
    with quorvex.subscribe(a.key, connect=[a.endpoint], lossless=a.lossless, queue=a.queue,
                           info_timeout=1.0) as sub, open(a.out, "w") as out:
        while True:  # the publisher may not be listening yet
            try:
                sub.info
                break
            except CameraError:
                if time.monotonic() > deadline:
                    return 1
        print("ready", flush=True)
        stalls = 0
        while time.monotonic() < deadline and stalls < 2:
            # Twice: a process stopped and continued finds its first wait over.
            try:
                for f in sub.frames(max_frames=1, stall_timeout=a.stall):
                    stalls = 0
                    planes = {n: hashlib.sha256(getattr(f, n).tobytes()).hexdigest()
                              for n in ("depth", "amplitude", "confidence", "raw")
                              if getattr(f, n) is not None}
                    out.write(json.dumps({"sequence": f.sequence, "timestamp_ms": f.timestamp_ms,
                                          "dropped": f.dropped, "planes": planes}) + "\n")
                    out.flush()
            except CameraError:
                stalls += 1
        out.write(json.dumps({"malformed": sub.malformed, "received": sub.received}) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
