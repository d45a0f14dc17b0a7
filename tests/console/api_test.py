#!/usr/bin/env python3
"""The console's JSON API against simulated nodes: two velmora supplies on one
bus and one tavlo unit in aducsim, `nodectl serve` in front of them.

Every endpoint; bad input gets a clear 4xx and puts nothing but polls on the
bus; limits are the server's; a lost line shows and comes back; the token and
the same-origin rule; the audit log.

usage: api_test.py BUILD_DIR
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rig import Checks, EventReader, Rig, wait_for, with_reset_retry  # noqa: E402

# Frames the console sends on its own: syncs and the two readings.
POLL_FRAME = re.compile(r"^(0\\r|[HR]\d+\\r)$")


def writes_since(rig, line, t0):
    log = rig.get("/api/log?max=400").json["frames"][line]
    return [f["bytes"] for f in log if f["dir"] == ">" and f["t"] >= t0]


def main():
    build = sys.argv[1]
    work = tempfile.mkdtemp(prefix="console-api-")
    rig = Rig(build, work)
    c = Checks()
    try:
        limits = os.path.join(work, "hv.limits")
        with open(limits, "w") as f:
            f.write("*  max_volts=1500  max_step=400\n2  max_volts=800\n")
        hv = rig.start_sim("hv", "velmora", "--nodes", "1,2")
        ro = rig.start_sim("ro", "tavlo", "--param", "x.centre=20", "--param", "y.centre=41")
        rig.start_console("--velmora", hv, "--tavlo", ro, "--scan", "1-4", "--limits", limits)

        # ---------------------------------------------------- state, polls --
        s = wait_for(lambda: (lambda j: j if all(n["volts"] is not None for n in j["velmora"]["nodes"])
                              and j["velmora"]["nodes"] else None)(rig.get("/api/state").json), 10,
                     "both nodes polled")
        c.check([n["address"] for n in s["velmora"]["nodes"]] == [1, 2], "the scan found nodes 1 and 2",
                s["velmora"]["nodes"])
        c.check([l["state"] for l in s["lines"]] == ["open", "open"], "both lines open")
        c.check(s["velmora"]["nodes"][1]["limit"] == {"max_volts": 800, "max_step": 400},
                "node 2's limits come from the limit file", s["velmora"]["nodes"][1]["limit"])
        r = s["velmora"]["rates"]
        c.check(5 < r["per_node_hz"] < 30 and r["nodes"] == 2, "the bus rate per node is stated", r)
        u = wait_for(lambda: (lambda j: j if j["reply"] == "ok" else None)(rig.get("/api/tavlo").json), 10,
                     "the tavlo unit")
        c.check(u["version"] == 3 and u["address"] == 1, "the unit answers IDN and V", u)
        c.check(rig.get("/api/velmora/nodes").json["nodes"][0]["address"] == 1, "GET /api/velmora/nodes")
        time.sleep(1)
        h = rig.get("/api/velmora/nodes/1/history?format=json").json
        c.check(len(h["samples"]) >= 5 and h["columns"] == ["time_ms", "volts", "code"],
                "history in JSON gains samples", len(h["samples"]))
        csv = rig.get("/api/velmora/nodes/1/history?format=csv&seconds=2")
        c.check(csv.status == 200 and csv.text.startswith("time_ms,time,volts,code\n") and
                csv.text.count("\n") >= 5, "history as CSV", csv.text[:80])

        ev = EventReader(rig.port)
        wait_for(lambda: len(ev.of("node")) >= 4, 5, "node events on the stream")
        c.check(ev.of("hello") and ev.of("node")[-1][1]["address"] in (1, 2), "the event stream carries polls")

        # ------------------------------------------ bad input, nothing sent --
        t0 = int(time.time() * 1000)
        bad = [
            ("POST", "/api/velmora/nodes/9/set", {"volts": 100}, 404, "unknown node"),
            ("GET", "/api/velmora/nodes/9", None, 404, "unknown node (GET)"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": 1600}, 422, "over max_volts"),
            ("POST", "/api/velmora/nodes/2/on", {"volts": 900}, 422, "over node 2's own max_volts"),
            ("POST", "/api/velmora/nodes/1/on", {"volts": 1600, "ramp": 200}, 422, "a ramp over max_volts"),
            ("POST", "/api/velmora/nodes/2/set", {"volts": 801, "ramp": 50}, 422, "a ramp over node 2's limit"),
            ("POST", "/api/velmora/nodes/1/on", {}, 422, "switching on without a voltage under limits"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": 2500}, 400, "beyond the node's range"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": "1000"}, 400, "volts as a string"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": -5}, 400, "negative volts"),
            ("POST", "/api/velmora/nodes/1/set", {}, 400, "missing volts"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": 100, "rampe": 5}, 400, "unknown field"),
            ("POST", "/api/velmora/nodes/1/set", {"volts": 100, "ramp": 0}, 400, "ramp of 0 V/s"),
            ("POST", "/api/velmora/nodes/1/address", {"to": 253}, 400, "broadcast address as new address"),
            ("POST", "/api/velmora/nodes/1/address", {"to": 2}, 422, "address taken"),
            ("POST", "/api/velmora/nodes/1/calibrate", {"volts": 0}, 400, "calibration to 0 V"),
            ("POST", "/api/velmora/scan", {"from": 9, "to": 3}, 400, "scan range backwards"),
            ("POST", "/api/tavlo/averaging", {"value": 16}, 400, "averaging above 15"),
            ("POST", "/api/tavlo/settle", {"value": 0}, 400, "settling 0"),
            ("POST", "/api/tavlo/acquire", {"count": 0}, 400, "zero scans"),
            ("POST", "/api/tavlo/run", {}, 400, "run without on"),
            ("GET", "/api/velmora/nodes/1/history?format=xml", None, 400, "unknown history format"),
            ("GET", "/api/nothing", None, 404, "unknown path"),
        ]
        for method, path, body, want, what in bad:
            r = rig.request(method, path, body=body)
            c.check(r.status == want and isinstance(r.json, dict) and r.json.get("error"),
                    f"{what}: {want} with a message", f"got {r.status} {r.text[:120]}")
        r = rig.request("POST", "/api/velmora/nodes/1/set", raw='{"volts": 10',
                        headers={"Content-Type": "application/json"})
        c.check(r.status == 400 and "malformed JSON" in r.json["error"], "malformed JSON: 400", r.text)
        r = rig.request("POST", "/api/velmora/nodes/1/set", raw='[1]', headers={"Content-Type": "application/json"})
        c.check(r.status == 400, "a JSON array body: 400", r.text)
        r = rig.request("POST", "/api/velmora/nodes/1/set", raw='{"volts": 10}',
                        headers={"Content-Type": "text/plain"})
        c.check(r.status == 415, "a body that is not JSON by type: 415", r.text)
        r = rig.post("/api/velmora/nodes/1/set", {"volts": 10}, headers={"Origin": "http://evil.example"})
        c.check(r.status == 403 and r.json["kind"] == "cross_origin", "another origin may not change state", r.text)
        r = rig.get("/api/state", headers={"Host": "evil.example:80"})
        c.check(r.status == 403, "a foreign Host name is refused (DNS rebinding)", r.text)
        time.sleep(0.3)
        sent = writes_since(rig, "velmora", t0)
        odd = [b for b in sent if not POLL_FRAME.match(b)]
        c.check(sent and not odd, "refused requests put nothing but polls on the velmora bus", odd[:5])
        tav = writes_since(rig, "tavlo", t0)
        c.check(not [b for b in tav if b.startswith(("A", "D", "M"))], "nor anything on the tavlo line", tav)
        aud = [json.loads(l) for l in open(os.path.join(work, "audit.jsonl"))]
        c.check(sum(1 for a in aud if a["result"]["status"] >= 400) >= 18 and
                all({"time", "client", "request", "result"} <= set(a) for a in aud),
                "refused requests are in the audit log", len(aud))
        fails = rig.get("/api/log").json["failures"]
        c.check(any("exceeds the limit of 1500 V" in f["error"] for f in fails), "refusals are listed for the page")

        # ------------------------------------------ set, ramp, on, off ------
        def set_and_switch(check):
            r = rig.post("/api/velmora/nodes/1/on", {"volts": 1000, "ramp": 1000})
            check(r.status == 200 and r.json["verdict"] == "started" and r.json["step"] == 250,
                    "on with a ramp starts it (steps at most 250 V at 1000 V/s)", r.text)
            r2 = rig.post("/api/velmora/nodes/1/set", {"volts": 900})
            check(r2.status == 422 and "ramping" in r2.json["error"], "a node that ramps refuses other sets", r2.text)
            saw_ramping = "ramping" in [rig.node(1)["state"] for _ in range(3)]
            n1 = wait_for(lambda: (lambda n: n if n["state"] == "within band" else None)(rig.node(1)), 15,
                          "node 1 within band at 1000 V")
            check(saw_ramping and abs(n1["volts"] - 1000) <= 5 and n1["setpoint"] == 1000 and n1["on"],
                    "the ramp reaches 1000 V, shown as ramping, then within band", n1)
            wait_for(lambda: any(json.loads(l)["request"].get("ended") == "ramp"
                                 for l in open(os.path.join(work, "audit.jsonl"))), 5, "the ramp's end in the audit log")
            check(any(e[1]["what"] == "ramp" and e[1]["result"]["verdict"] == "verified" for e in ev.of("result")),
                    "the ramp's end is an event")
            r = rig.post("/api/velmora/nodes/1/set", {"volts": 1500})
            check(r.status == 422 and "largest step" in r.json["error"], "a step over max_step is refused", r.text)
            r = rig.post("/api/velmora/nodes/1/set", {"volts": 1200})
            check(r.status == 200 and r.json["verdict"] == "verified" and abs(r.json["readback"] - 1200) <= 3,
                    "set 1200 V, verified by readback", r.text)
            r = rig.post("/api/velmora/nodes/1/set", {"volts": 1100, "ramp": 400, "persist": True})
            wait_for(lambda: rig.node(1)["state"] == "within band" and rig.node(1)["setpoint"] == 1100, 10,
                     "a stored ramp down to 1100 V")
            check(r.status == 200, "a stored ramp down", r.text)
            r = rig.post("/api/velmora/nodes/2/set", {"volts": 700, "ramp": 100})
            check(r.status == 422 and "output is off" in r.json["error"], "a ramp on an output that is off is refused",
                    r.text)

            # calibrate node 1 at its present output, then switch off
            v = rig.node(1)["volts"]
            r = rig.post("/api/velmora/nodes/1/calibrate", {"volts": v})
            check(r.status == 200 and r.json["verdict"] == "verified", "calibrate at the present reading", r.text)
            r = rig.post("/api/velmora/nodes/1/off", {})
            check(r.status == 200 and r.json["verdict"] == "verified" and r.json["readback"] <= 10, "off", r.text)

            # all outputs off
            for a, volts in ((1, 300), (2, 350)):
                r = rig.post(f"/api/velmora/nodes/{a}/on", {"volts": volts})
                check(r.status == 200 and r.json["verdict"] == "verified", f"node {a} on at {volts} V", r.text)
            r = rig.post("/api/velmora/all-off", {})
            check(r.status == 200 and r.json["verdict"] == "verified" and r.json["persist"] and
                    all(o["readback"] <= 10 for o in r.json["nodes"].values()), "all outputs off, read back", r.text)
            check(all(not rig.node(a)["on"] for a in (1, 2)), "both nodes read off")

        def all_off_first():
            rig.post("/api/velmora/all-off", {})
            time.sleep(0.5)
        with_reset_retry(rig, c, "the sets and switching", set_and_switch, prepare=all_off_first)

        # address change and back, then a scan
        def addresses(check):
            r = rig.post("/api/velmora/nodes/2/address", {"to": 5})
            nodes = [n["address"] for n in rig.get("/api/velmora/nodes").json["nodes"]]
            check(r.status == 200 and r.json["verdict"] == "verified" and nodes == [1, 5], "node 2 moves to 5",
                    f"{r.text} {nodes}")
            r = rig.post("/api/velmora/nodes/5/address", {"to": 2})
            check(r.status == 200 and r.json["verdict"] == "verified", "and back to 2", r.text)
            r = rig.post("/api/velmora/scan", {"from": 1, "to": 4})
            check(r.status == 200 and r.json["nodes"] == [1, 2], "a rescan finds 1 and 2", r.text)

        def address_2_again():
            rig.post("/api/velmora/scan", {"from": 1, "to": 8})
            if rig.get("/api/velmora/nodes/5").status == 200:
                rig.post("/api/velmora/nodes/5/address", {"to": 2})
                rig.post("/api/velmora/scan", {"from": 1, "to": 8})
        with_reset_retry(rig, c, "the address change", addresses, prepare=address_2_again)

        # ------------------------------------------------------------ tavlo --
        r = rig.post("/api/tavlo/select", {})
        c.check(r.status == 200 and r.json["unit"]["reply"] == "ok", "select", r.text)
        r = rig.post("/api/tavlo/averaging", {"value": 2})
        c.check(r.status == 200 and r.json["readback"] == 2, "averaging 2", r.text)
        r = rig.post("/api/tavlo/settle", {"value": 20})
        c.check(r.status == 200 and r.json["readback"] == 20, "settling 20", r.text)
        r = rig.post("/api/tavlo/acquire", {"count": 2})
        p = r.json.get("profile", {})
        c.check(r.status == 200 and p.get("peak") == {"x": 20, "y": 41} and len(p["x"]) == 64,
                "a scan shows the beam at X 20, Y 41", r.text[:200])
        csv = rig.get("/api/tavlo/profile?format=csv")
        c.check(csv.status == 200 and csv.text.count("\n") == 65 and csv.text.startswith("channel,x,y"),
                "the profile as CSV")
        seq = rig.get("/api/tavlo/profile").json["seq"]
        r = rig.post("/api/tavlo/run", {"on": True})
        wait_for(lambda: rig.get("/api/tavlo/profile").json["seq"] >= seq + 3, 5, "continuous scans")
        r = rig.post("/api/tavlo/run", {"on": False})
        c.check(r.status == 200 and not rig.get("/api/tavlo").json["running"], "continuous scans start and stop")
        c.check(len(ev.of("profile")) >= 3, "each scan is an event")

        # -------------------------------------------- a second owner, held --
        p2 = subprocess.run([rig.nodectl, "serve", "--velmora", hv, "--listen", "127.0.0.1:0",
                             "--audit", os.path.join(work, "other.jsonl")],
                            capture_output=True, text=True, timeout=20)
        c.check(p2.returncode == 3 and "held by another program" in p2.stderr,
                "a second console cannot take the line", p2.stderr)
        p3 = subprocess.run([rig.nodectl, "serve", "--velmora", hv, "--listen", "0.0.0.0:0",
                             "--audit", os.path.join(work, "other.jsonl")],
                            capture_output=True, text=True, timeout=20)
        c.check(p3.returncode == 2 and "--token" in p3.stderr, "listening beyond loopback needs a token", p3.stderr)

        # ------------------------------------------------ lost line, back --
        cmd = rig.kill_sim("hv")
        t_kill = time.time()
        wait_for(lambda: rig.get("/api/state").json["lines"][0]["state"] == "lost", 5, "the line shown lost")
        lost_after = time.time() - t_kill
        c.check(lost_after < 1.0, f"a lost line shows within two polling periods ({lost_after:.2f} s)")
        c.check(rig.node(1)["state"] == "line lost", "and on each node", rig.node(1))
        r = rig.post("/api/velmora/nodes/1/set", {"volts": 100})
        c.check(r.status == 503 and r.json["kind"] == "line_lost", "commands meanwhile: 503", r.text)
        c.check(rig.get("/api/tavlo").json["reply"] == "ok", "the other line goes on")
        rig.restart_sim("hv", cmd)
        wait_for(lambda: rig.node(1)["reply"] == "ok" and rig.node(2)["reply"] == "ok", 10, "the nodes back")
        c.check(rig.get("/api/state").json["lines"][0]["state"] == "open", "the console reopens the line")
        ev.close()

        # --------------------------------------------------------- token ----
        rc = rig.stop_console()
        c.check(rc == 0, "the console stops cleanly on SIGTERM", rc)
        rig.start_console("--velmora", hv, "--nodes", "1,2", "--token", "s3cret")
        r = rig.get("/api/state")
        c.check(r.status == 401, "no token: 401", r.text)
        r = rig.get("/api/state", headers={"Authorization": "Bearer wrong"})
        c.check(r.status == 401, "a wrong token: 401", r.text)
        r = rig.get("/api/state", headers={"Authorization": "Bearer s3cret"})
        c.check(r.status == 200, "the token in a header: 200")
        r = rig.get("/?token=s3cret")
        c.check(r.status == 200 and "nodectl_token=s3cret" in (r.getheader("Set-Cookie") or ""),
                "the page with ?token= sets a cookie")
        cookie = {"Cookie": "nodectl_token=s3cret"}
        r = rig.get("/api/state", headers=cookie)
        c.check(r.status == 200, "the cookie carries the token")
        r = rig.post("/api/velmora/all-off", {}, headers=cookie)
        c.check(r.status == 403, "a state change with the cookie alone and no Origin: 403", r.text)
        r = rig.post("/api/velmora/all-off", {}, headers={**cookie, "Origin": f"http://127.0.0.1:{rig.port}",
                                                          "Host": f"127.0.0.1:{rig.port}"})
        c.check(r.status == 200, "from the console's own origin: 200", r.text)
        r = rig.post("/api/velmora/nodes/1/off", {}, headers={"Authorization": "Bearer s3cret"})
        c.check(r.status == 200, "a script with the token in a header: 200", r.text)
    except Exception as e:  # a setup failure is a failed check, with its reason
        c.check(False, "the test ran to its end", repr(e))
        print(open(rig.console_log).read()[-3000:] if os.path.exists(rig.console_log) else "", file=sys.stderr)
    finally:
        rig.stop()
    return c.done()


if __name__ == "__main__":
    sys.exit(main())
