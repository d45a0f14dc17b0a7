"""Simulated nodes and a running console for the console's tests and benchmark.

Starts aducsim (velmora nodes on one bus, a tavlo unit) behind pseudo-terminals
with stable links, and `nodectl serve` on a free loopback port; offers small
HTTP helpers and an event-stream reader.
"""
import http.client
import json
import os
import re
import signal
import subprocess
import threading
import time


class Failure(AssertionError):
    pass


class Checks:
    """Counts checks and prints a closing 'N passed, N failed' line."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, cond, what, detail=""):
        if cond:
            self.passed += 1
            print(f"ok   {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {what} {detail}", flush=True)
        return cond

    def done(self):
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        return 0 if self.failed == 0 and self.passed > 0 else 1


def _favour():
    """A simulated node resets when the host's sync comes 125 ms late in its
    virtual time; on a busy machine give the simulator a better share of the
    processor where that is allowed (root), so the tests test the console."""
    try:
        os.nice(-5)
    except OSError:
        pass


def wait_for(fn, timeout, what, interval=0.1):
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            last = fn()
            if last:
                return last
        except (OSError, http.client.HTTPException, ValueError, KeyError) as e:
            last = e
        time.sleep(interval)
    raise Failure(f"timed out after {timeout} s waiting for {what} (last: {last!r})")


def with_reset_retry(rig, checks, what, body, sim="hv", prepare=None):
    """Runs body(check) and records its checks. When a check failed and a
    simulated node's watchdog reset it meanwhile (on a starved machine the
    simulator can fall behind real time, and then the host's sync after a
    reply comes too late for the nodes), prepares and runs it again, at
    most three times in all."""
    for attempt in (1, 2, 3):
        before = rig.resets(sim)
        got = []

        def check(cond, w, detail=""):
            got.append((bool(cond), w, detail))
            return cond
        try:
            body(check)
        except Failure as e:
            got.append((False, f"{what}: ran to its end", repr(e)))
        if attempt < 3 and any(not ok for ok, _, _ in got) and rig.resets(sim) > before:
            print(f"note: a simulated node was reset by its watchdog during {what}; once more", flush=True)
            if prepare:
                prepare()
            continue
        for ok, w, d in got:
            checks.check(ok, w, d)
        return


class Rig:
    def __init__(self, build, work):
        self.build = build
        self.work = work
        self.aducsim = os.environ.get("ADUCSIM") or next(
            (p for p in (os.path.join(build, "apps", "aducsim", "aducsim"), os.path.join(build, "sim", "aducsim"))
             if os.path.isfile(p)), "aducsim")
        self.nodectl = os.environ.get("NODECTL") or os.path.join(build, "host", "nodectl")
        self.sims = {}
        self.console = None
        self.port = None
        self.console_log = os.path.join(work, "console.log")
        self.quiet = True  # aducsim's progress messages
        os.makedirs(os.path.join(work, "flash"), exist_ok=True)

    # ------------------------------------------------------------ nodes --
    def start_sim(self, name, kind, *args):
        link = os.path.join(self.work, name)
        out = open(os.path.join(self.work, name + ".out"), "w")
        err = open(os.path.join(self.work, name + ".err"), "w")
        cmd = [self.aducsim, kind, "--link", link, *args]
        if self.quiet:
            cmd.insert(4, "--quiet")
        if kind == "velmora":
            cmd += ["--flash-dir", os.path.join(self.work, "flash")]
        p = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL, preexec_fn=_favour)
        self.sims[name] = (p, cmd)
        wait_for(lambda: os.path.exists(link) and "serial line:" in open(out.name).read(), 10,
                 f"aducsim {name} to offer its line")
        return link

    def resets(self, name):
        """Watchdog resets aducsim reported for its nodes so far."""
        try:
            return open(os.path.join(self.work, name + ".err")).read().count("watchdog reset")
        except OSError:
            return 0

    def kill_sim(self, name):
        p, cmd = self.sims[name]
        p.kill()
        p.wait()
        return cmd

    def restart_sim(self, name, cmd):
        out = open(os.path.join(self.work, name + ".out"), "w")
        err = open(os.path.join(self.work, name + ".err"), "a")
        link = cmd[cmd.index("--link") + 1]
        if os.path.lexists(link):
            os.unlink(link)
        p = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL, preexec_fn=_favour)
        self.sims[name] = (p, cmd)
        wait_for(lambda: os.path.exists(link) and "serial line:" in open(out.name).read(), 10,
                 f"aducsim {name} to come back")

    # ---------------------------------------------------------- console --
    def start_console(self, *args, expect_url=True):
        log = open(self.console_log, "a")
        self.console_out = os.path.join(self.work, "console.out")
        out = open(self.console_out, "w")
        # Time-outs with room for a simulator that falls behind real time on
        # a busy machine: a reply that comes after the host gave up collides
        # with the next frame.
        cmd = [self.nodectl, "serve", "--listen", "127.0.0.1:0", "--timeout-ms", "600", "--scan-timeout-ms", "200",
               "--audit", os.path.join(self.work, "audit.jsonl"), *args]
        self.console = subprocess.Popen(cmd, stdout=out, stderr=log, stdin=subprocess.DEVNULL, preexec_fn=_favour)

        def url():
            m = re.search(r"console: http://127\.0\.0\.1:(\d+)/", open(self.console_out).read())
            if self.console.poll() is not None:
                raise Failure(f"console exited with {self.console.returncode}: {open(self.console_log).read()}")
            return m and int(m.group(1))
        self.port = wait_for(url, 15, "the console's URL")
        return self.port

    def stop_console(self):
        if self.console and self.console.poll() is None:
            self.console.send_signal(signal.SIGTERM)
            try:
                self.console.wait(10)
            except subprocess.TimeoutExpired:
                self.console.kill()
                self.console.wait()
        rc = self.console.returncode if self.console else None
        self.console = None
        return rc

    def stop(self):
        self.stop_console()
        for p, _ in self.sims.values():
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
        for p, _ in self.sims.values():
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()

    # ------------------------------------------------------------- http --
    def request(self, method, path, body=None, headers=None, raw=None, timeout=30):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        h = dict(headers or {})
        data = None
        if raw is not None:
            data = raw
        elif body is not None:
            data = json.dumps(body)
            h.setdefault("Content-Type", "application/json")
        c.request(method, path, body=data, headers=h)
        r = c.getresponse()
        text = r.read().decode()
        c.close()
        try:
            j = json.loads(text) if text else None
        except ValueError:
            j = text
        r.json = j
        r.text = text
        return r

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body=None, **kw):
        return self.request("POST", path, body=body if body is not None else {}, **kw)

    def node(self, address):
        return self.get(f"/api/velmora/nodes/{address}").json


class EventReader:
    """Reads the event stream in a thread; keeps (receive time, type, data)."""

    def __init__(self, port, path="/api/events"):
        self.events = []
        self.lock = threading.Lock()
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.conn.request("GET", path)
        self.resp = self.conn.getresponse()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        etype, data = "message", []
        try:
            while True:
                line = self.resp.readline()
                if not line:
                    return
                line = line.decode().rstrip("\r\n")
                if line == "":
                    if data:
                        t = time.time()
                        with self.lock:
                            self.events.append((t, etype, "\n".join(data)))
                    etype, data = "message", []
                elif line.startswith("event:"):
                    etype = line[6:].strip()
                elif line.startswith("data:"):
                    data.append(line[5:].strip())
        except (OSError, ValueError, AttributeError, http.client.HTTPException):
            return  # closed

    def of(self, etype):
        with self.lock:
            return [(t, json.loads(d)) for t, e, d in self.events if e == etype]

    def close(self):
        try:
            self.conn.sock.shutdown(2)
        except OSError:
            pass
        self.conn.close()
