"""ROS 2 publishing across a network link with a 1500-byte MTU, as on
Ethernet, instead of loopback's 64 KB: a veth pair between two network
namespaces made for the run, our publisher in one, a reliable reader in the
other, VGA depth + amplitude at 30 fps, with and without the receive-buffer
settings the README gives (net.core.rmem_max, Cyclone's
SocketReceiveBufferSize).

    make bench-ros2-network    # python bench/ros2_network.py, as root; skips otherwise

Figures per setting: frames the reader received of those sent,
publish-to-receive latency (median, 99th percentile; the image stamps, one
clock), and the datagrams the reader's side dropped for a full socket
receive buffer and for IP reassembly; the first setting, the same frames
over loopback, is the baseline of the run. Only the veth pair's two private addresses are used (no multicast,
unicast discovery between them); the namespaces and the link are removed at
the end, and net.core.rmem_max, which the kernel keeps for the whole
machine, is put back as it was.
"""
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

FRAMES = 150
FPS = 30.0
DOMAIN = 230
RMEM = Path("/proc/sys/net/core/rmem_max")
KERNEL_DEFAULT_RMEM = 212992
README_RMEM = 16777216
README_READER = '<Internal><SocketReceiveBufferSize min="8MB"/></Internal>'
# A /30 of the private range, on nothing but the pair made here.
PUB_ADDR, SUB_ADDR = "10.213.37.1", "10.213.37.2"
# One name for the run, its namespaces and link; the children inherit it.
TAG = os.environ.setdefault("QUORVEX_NETBENCH_TAG", f"qvx{os.getpid() % 100000}")
NS_PUB, NS_SUB = f"{TAG}pub", f"{TAG}sub"

# Datagrams of the size of the link's MTU (IP header 20, UDP 8 bytes).
MTU_WRITER = ("<CycloneDDS><Domain><General><MaxMessageSize>1472B</MaxMessageSize>"
              "<FragmentSize>1400B</FragmentSize></General></Domain></CycloneDDS>")

# (label, link, net.core.rmem_max, the reader's Cyclone settings: None for
# Cyclone's defaults, else added to the reader's own; the writer's: None
# for the publisher's own, "" for Cyclone's defaults). The first, on
# loopback, is the baseline the others compare with.
SETTINGS = [
    ("loopback, README settings", "lo", README_RMEM, README_READER, None),
    ("nothing set (Cyclone's defaults)", "veth", KERNEL_DEFAULT_RMEM, None, None),
    ("our reader's own 16 MB request, rmem_max as shipped", "veth", KERNEL_DEFAULT_RMEM, "", None),
    ("rmem_max 16 MB, Cyclone's defaults", "veth", README_RMEM, None, None),
    ("README: rmem_max 16 MB + SocketReceiveBufferSize min 8MB", "veth", README_RMEM, README_READER,
     None),
    ("README + writer at Cyclone's datagram sizes", "veth", README_RMEM, README_READER, ""),
    ("README + writer datagrams within the MTU", "veth", README_RMEM, README_READER, MTU_WRITER),
]


def cyclone_config(own, peer, extra=""):
    return ("<CycloneDDS><Domain><General><Interfaces>"
            f"<NetworkInterface address=\"{own}\"/></Interfaces>"
            "<AllowMulticast>false</AllowMulticast></General><Discovery>"
            "<ParticipantIndex>auto</ParticipantIndex><Peers>"
            f"<Peer address=\"{peer}\"/></Peers></Discovery>{extra}</Domain></CycloneDDS>")


def sh(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def make_link():
    sh("ip", "netns", "add", NS_PUB)
    sh("ip", "netns", "add", NS_SUB)
    sh("ip", "link", "add", f"{TAG}a", "mtu", "1500", "netns", NS_PUB, "type", "veth",
       "peer", "name", f"{TAG}b", "mtu", "1500", "netns", NS_SUB)
    for ns, dev, addr in ((NS_PUB, f"{TAG}a", PUB_ADDR), (NS_SUB, f"{TAG}b", SUB_ADDR)):
        sh("ip", "-n", ns, "addr", "add", f"{addr}/30", "dev", dev)
        sh("ip", "-n", ns, "link", "set", dev, "up")
        sh("ip", "-n", ns, "link", "set", "lo", "up")


def remove_link():
    for ns in (NS_PUB, NS_SUB):
        subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def in_namespace(ns, role, env, *args):
    return subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, __file__, role, *args],
                            stdout=subprocess.PIPE, text=True, env=env)


def publisher():
    import quorvex
    from quorvex import ros2
    with quorvex.Camera(config=_vga_config(), filters=None) as cam:
        info = cam.info
        frames = list(cam.frames(max_frames=30, planes=("depth", "amplitude")))
    with ros2.RosPublisher(info, namespace="/bench") as pub:
        end = time.monotonic() + 60
        while not all(pub.matched().values()) and time.monotonic() < end:
            time.sleep(0.05)
        time.sleep(1.0)  # the reader's side of the matching
        t0 = time.monotonic()
        for i in range(FRAMES):
            time.sleep(max(0.0, t0 + i / FPS - time.monotonic()))
            pub.put(frames[i % len(frames)], stamp_ns=time.time_ns())
        # What the reader has not acknowledged yet is sent again meanwhile.
        time.sleep(3.0)
    print(json.dumps({"sent": FRAMES}), flush=True)


def _vga_config():
    path = Path(os.environ.get("TMPDIR", "/tmp")) / f"{TAG}-vga.cfg"
    path.write_text("variant = vga\nwidth = 640\nheight = 480\n")
    return str(path)


def reader():
    import quorvex
    from quorvex.errors import CameraError
    latency = []
    with quorvex.subscribe("/bench", transport="ros2", qos="default") as sub:
        print("ready", flush=True)
        try:
            for _ in sub.frames(max_frames=FRAMES, stall_timeout=20.0):
                latency.append((time.time_ns() - sub.last_stamp_ns) / 1e6)
        except CameraError:
            pass
    print(json.dumps({"count": len(latency), "latency": latency}), flush=True)


def udp_ip_counters(ns):
    """The reader's namespace's datagrams lost to a full receive buffer and
    to IP reassembly (an IP fragment lost or timed out loses the datagram)."""
    text = subprocess.run(["ip", "netns", "exec", ns, "cat", "/proc/net/snmp"], capture_output=True,
                          text=True).stdout.splitlines()
    table = {}
    for names, values in zip(text[::2], text[1::2]):
        kind = names.split(":")[0]
        table.update({f"{kind}.{k}": int(v) for k, v in zip(names.split()[1:], values.split()[1:])})
    return table.get("Udp.RcvbufErrors", 0), table.get("Ip.ReasmFails", 0)


def run(link, rmem, extra, writer):
    RMEM.write_text(str(rmem))
    base = dict(os.environ, ROS_DOMAIN_ID=str(DOMAIN))
    pub_addr, sub_addr = (PUB_ADDR, SUB_ADDR) if link == "veth" else ("127.0.0.1", "127.0.0.1")
    pub_ns = NS_PUB if link == "veth" else NS_SUB
    sub_env = dict(base, CYCLONEDDS_URI=cyclone_config(sub_addr, pub_addr, extra or ""))
    if extra is None:
        sub_env["QUORVEX_DDS_READER_CONFIG"] = ""
    pub_env = dict(base, CYCLONEDDS_URI=cyclone_config(pub_addr, sub_addr))
    if writer is not None:
        pub_env["QUORVEX_DDS_WRITER_CONFIG"] = writer
    before = udp_ip_counters(NS_SUB)
    sub = in_namespace(NS_SUB, "--reader", sub_env)
    try:
        if sub.stdout.readline().strip() != "ready":
            return None
        pub = in_namespace(pub_ns, "--publisher", pub_env)
        pub.communicate(timeout=180)
        out, _ = sub.communicate(timeout=120)
    finally:
        if sub.poll() is None:
            sub.kill()
            sub.wait()
    after = udp_ip_counters(NS_SUB)
    result = json.loads(out.strip().splitlines()[-1])
    lat = sorted(result["latency"]) or [float("nan")]
    return {"received": result["count"], "median_ms": statistics.median(lat),
            "p99_ms": lat[min(len(lat) - 1, int(0.99 * len(lat)))],
            "rcvbuf_errors": after[0] - before[0], "reasm_fails": after[1] - before[1]}


def main():
    import shutil
    if os.geteuid() != 0 or shutil.which("ip") is None:
        print("skipped: needs root and ip(8) for the network namespaces")
        return
    if subprocess.run(["ip", "netns", "add", f"{TAG}probe"], capture_output=True).returncode != 0:
        print("skipped: network namespaces cannot be made here")
        return
    subprocess.run(["ip", "netns", "del", f"{TAG}probe"])
    print(f"ROS 2 across a veth pair (MTU 1500), VGA depth + amplitude, {FRAMES} frames at "
          f"{FPS:g} fps, reliable reader")
    saved = RMEM.read_text().strip()
    try:
        make_link()
        for label, link, rmem, extra, writer in SETTINGS:
            r = run(link, rmem, extra, writer)
            if r is None:
                print(f"{label}: the reader did not start")
                continue
            print(f"{label}: received {r['received']}/{FRAMES}, latency median "
                  f"{r['median_ms']:.1f} ms, p99 {r['p99_ms']:.1f} ms; datagrams lost to the receive "
                  f"buffer {r['rcvbuf_errors']}, to IP reassembly {r['reasm_fails']}", flush=True)
    finally:
        RMEM.write_text(saved)
        remove_link()
        Path(_vga_config()).unlink(missing_ok=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--reader":
        reader()
    elif len(sys.argv) > 1 and sys.argv[1] == "--publisher":
        publisher()
    else:
        main()
