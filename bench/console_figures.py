#!/usr/bin/python3
"""Figures of the operator console (`nodectl serve`); run by scripts/bench.

1. Polling rate per node on the 9600 Bd bus with 1, 4 and 16 simulated velmora
   nodes in aducsim (counted from each node's history over a window).
2. Latency from a change on the bus to the page: a stand-in bus on a
   pseudo-terminal answers the console's polls like two velmora nodes (with
   9600 Bd character timing) and changes node 1's reading at a known moment;
   the page in headless Chromium stamps the event that shows the new value.
3. The server's processor share and resident memory, idle and while four
   pages (tabs of headless Chromium) watch, against aducsim (two supplies
   and a readout unit).

usage: console_figures.py BUILD_DIR    (about two minutes; prints BENCH lines)
"""
import os
import pty
import random
import select
import statistics
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "console"))
import browser  # noqa: E402
from rig import Rig, wait_for  # noqa: E402

CHAR_S = 10 / 9600  # one character on the velmora bus


def poll_rates(build, counts=(1, 4, 16), window=6.0):
    print("== polling rate per node (aducsim, 9600 Bd, volts and code each poll)")
    print("   per node: answered polls a second; tried: all polls on the bus, time-outs included;")
    print("   stated: what the page shows for four-digit readings")
    print(f"{'nodes':>5} {'per node /s':>12} {'slowest /s':>11} {'bus /s':>7} {'tried /s':>9} {'stated /s':>10}  simulator")
    for n in counts:
        work = tempfile.mkdtemp(prefix="console-bench-")
        rig = Rig(build, work)
        rig.quiet = False  # its closing line tells whether it kept up with real time
        try:
            addrs = ",".join(str(a) for a in range(1, n + 1))
            hv = rig.start_sim("hv", "velmora", "--nodes", addrs)
            rig.start_console("--velmora", hv, "--nodes", addrs)
            wait_for(lambda: all(x["reply"] == "ok" for x in rig.get("/api/velmora/nodes").json["nodes"]), 15,
                     "every node answering")
            time.sleep(1.0)
            t0 = time.time()
            time.sleep(window)
            rates = []
            for a in range(1, n + 1):
                h = rig.get(f"/api/velmora/nodes/{a}/history?format=json&seconds={time.time() - t0:.3f}").json
                rates.append(len(h["samples"]) / window)
            tried = sum(x["poll_hz"] for x in rig.get("/api/velmora/nodes").json["nodes"])
            stated = rig.get("/api/velmora/nodes").json["rates"]["per_node_hz"]
            rig.stop_console()
        finally:
            rig.stop()
        sim = open(os.path.join(work, "hv.err")).read().strip().splitlines()
        ran = next((l.split("aducsim: ")[-1] for l in sim if "virtual time" in l), "")
        resets = sum("watchdog reset" in l for l in sim)
        mean = statistics.mean(rates)
        print(f"{n:>5} {mean:>12.2f} {min(rates):>11.2f} {mean * n:>7.1f} {tried:>9.1f} {stated:>10.2f}  {ran}"
              f"{f', {resets} watchdog resets' if resets else ''}")
        print(f"BENCH console_poll nodes={n} per_node_hz={mean:.2f} min_hz={min(rates):.2f} bus_hz={mean * n:.1f}")
    # The same on a stand-in bus that keeps 9600 Bd character timing but costs
    # no simulation: what the console reaches when the nodes keep up.
    print("   stand-in bus (9600 Bd character timing both ways, four-digit readings, no simulator):")
    for n in counts:
        work = tempfile.mkdtemp(prefix="console-bench-")
        rig = Rig(build, work)
        bus = FakeBus(tuple(range(1, n + 1)))
        try:
            addrs = ",".join(str(a) for a in range(1, n + 1))
            rig.start_console("--velmora", bus.path, "--nodes", addrs)
            wait_for(lambda: all(x["reply"] == "ok" for x in rig.get("/api/velmora/nodes").json["nodes"]), 15,
                     "every node answering")
            time.sleep(1.0)
            t0 = time.time()
            time.sleep(window)
            rates = [len(rig.get(f"/api/velmora/nodes/{a}/history?format=json&seconds={time.time() - t0:.3f}")
                         .json["samples"]) / window for a in range(1, n + 1)]
        finally:
            rig.stop()
            bus.close()
        mean = statistics.mean(rates)
        print(f"{n:>5} {mean:>12.2f} {min(rates):>11.2f} {mean * n:>7.1f}")
        print(f"BENCH console_poll_standin nodes={n} per_node_hz={mean:.2f} bus_hz={mean * n:.1f}")


class FakeBus:
    """velmora nodes as far as polling goes: answers 'H', 'R' and 'A' with
    9600 Bd character timing in both directions, and no simulation."""

    def __init__(self, addresses=(1, 2)):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.volts = {a: 1000 + a for a in addresses}  # four-digit readings
        self.lock = threading.Lock()
        self.stop = False
        self.busy = 0.0  # when the line's last character has crossed it
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def set(self, address, volts):
        with self.lock:
            self.volts[address] = volts

    def run(self):
        buf = b""
        while not self.stop:
            r, _, _ = select.select([self.master], [], [], 0.1)
            if not r:
                continue
            try:
                chunk = os.read(self.master, 256)
            except OSError:
                time.sleep(0.05)
                continue
            # The pseudo-terminal passes bytes at once; the bus would take a
            # character time for each, so the line stays busy that long.
            self.busy = max(self.busy, time.monotonic()) + len(chunk) * CHAR_S
            buf += chunk
            while b"\r" in buf:
                frame, buf = buf.split(b"\r", 1)
                frame = frame.decode(errors="replace")
                if len(frame) < 2 or not frame[1:].isdigit():
                    continue
                letter, addr = frame[0].upper(), int(frame[1:])
                with self.lock:
                    v = self.volts.get(addr)
                if v is None:
                    continue
                reply = {"H": f"e={v}\r\n", "R": f"e={int(v / 0.822)}\r\n", "A": f"{addr}\r\n"}.get(letter)
                if reply:
                    # The reply starts when the frame has crossed the line and
                    # arrives whole when its own characters have.
                    end = max(self.busy, time.monotonic()) + len(reply) * CHAR_S
                    time.sleep(max(0.0, end - time.monotonic()))
                    os.write(self.master, reply.encode())
                    self.busy = end

    def close(self):
        self.stop = True
        self.thread.join()
        os.close(self.master)
        os.close(self.slave)


def latency(build, samples=40):
    print("== latency from a change on the bus to the page (2 nodes on a stand-in bus, headless Chromium)")
    why = browser.available()
    if why:
        print(f"skipped: {why}")
        return
    work = tempfile.mkdtemp(prefix="console-bench-")
    rig = Rig(build, work)
    bus = FakeBus()
    d = None
    try:
        rig.start_console("--velmora", bus.path, "--nodes", "1,2")
        d = browser.start()
        d.get(f"http://127.0.0.1:{rig.port}/")
        wait_for(lambda: d.execute_script("return !!window.consoleEvents && consoleEvents.readyState === 1"), 10,
                 "the page's event stream")
        d.execute_script("""
            window.__seen = {};
            consoleEvents.addEventListener('node', e => {
              const n = JSON.parse(e.data);
              if (n.address === 1 && !(n.volts in window.__seen)) window.__seen[n.volts] = Date.now();
            });""")
        lat = []
        for i in range(samples):
            v = 200 + i
            time.sleep(random.uniform(0.05, 0.25))  # any phase of the polling cycle
            t0 = time.time() * 1000
            bus.set(1, v)
            seen = wait_for(lambda: d.execute_script(f"return window.__seen[{v}]"), 5, f"{v} V on the page",
                            interval=0.02)
            lat.append(seen - t0)
        lat.sort()
        med, worst = statistics.median(lat), lat[-1]
        p90 = lat[int(0.9 * (len(lat) - 1))]
        print(f"{samples} changes: median {med:.1f} ms, 90th percentile {p90:.1f} ms, worst {worst:.1f} ms "
              f"(best {lat[0]:.1f} ms)")
        print(f"BENCH console_latency median_ms={med:.1f} p90_ms={p90:.1f} worst_ms={worst:.1f}")
    finally:
        if d:
            d.quit()
        rig.stop()
        bus.close()


def cpu_mem(pid, secs):
    def ticks():
        f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return int(f[11]) + int(f[12])
    hz = os.sysconf("SC_CLK_TCK")
    t0, w0 = ticks(), time.time()
    time.sleep(secs)
    t1, w1 = ticks(), time.time()
    rss = next(int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS:"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    return 100.0 * (t1 - t0) / hz / (w1 - w0), rss / 1024, threads


def load(build, secs=10.0):
    print("== server processor share and memory (2 supplies and a readout unit in aducsim)")
    work = tempfile.mkdtemp(prefix="console-bench-")
    rig = Rig(build, work)
    drivers = None
    try:
        hv = rig.start_sim("hv", "velmora", "--nodes", "1,2")
        ro = rig.start_sim("ro", "tavlo")
        rig.start_console("--velmora", hv, "--tavlo", ro, "--nodes", "1,2")
        time.sleep(2)
        cpu, rss, th = cpu_mem(rig.console.pid, secs)
        print(f"idle (polling, no page):  {cpu:5.1f} % of one core, {rss:5.1f} MiB resident, {th} threads")
        print(f"BENCH console_idle cpu_pct={cpu:.1f} rss_mib={rss:.1f}")
        why = browser.available()
        if why:
            print(f"4 pages: skipped ({why})")
            return
        d = browser.start()
        drivers = d
        url = f"http://127.0.0.1:{rig.port}/"
        d.get(url)
        for _ in range(3):
            d.switch_to.new_window("tab")
            d.get(url)
        time.sleep(3)
        cpu, rss, th = cpu_mem(rig.console.pid, secs)
        watching = len(d.window_handles)
        print(f"{watching} pages watching:         {cpu:5.1f} % of one core, {rss:5.1f} MiB resident, {th} threads")
        print(f"BENCH console_watched pages={watching} cpu_pct={cpu:.1f} rss_mib={rss:.1f}")
    finally:
        if drivers:
            drivers.quit()
        rig.stop()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    started = time.time()
    poll_rates(build)
    print()
    latency(build)
    print()
    load(build)
    print(f"(console figures took {time.time() - started:.0f} s)")


if __name__ == "__main__":
    main()
