#!/usr/bin/env python3
"""The console's page in headless Chromium against simulated nodes.

The page lists the nodes the bus scan found; 1200 V with a 200 V/s ramp set in
the page moves the simulated supply (checked through the API); the trend gains
points; "all outputs off" switches both nodes off; the profile shows the beam's
peak at the channel given to aducsim; a killed simulator shows as a lost line
and its restart brings the cards back.

usage: browser_test.py BUILD_DIR [SCREENSHOT_DIR]   (exit 77: no browser here)
"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402
from rig import Checks, Rig, wait_for, with_reset_retry  # noqa: E402

X_CENTRE = 29
Y_CENTRE = 17


def main():
    why = browser.available()
    if why:
        print(f"skipped: {why}")
        return 77
    build = sys.argv[1]
    shots = sys.argv[2] if len(sys.argv) > 2 else None
    work = tempfile.mkdtemp(prefix="console-page-")
    rig = Rig(build, work)
    c = Checks()
    driver = None
    from selenium.webdriver.common.by import By
    try:
        hv = rig.start_sim("hv", "velmora", "--nodes", "1,2")
        ro = rig.start_sim("ro", "tavlo", "--param", f"x.centre={X_CENTRE}", "--param", f"y.centre={Y_CENTRE}")
        rig.start_console("--velmora", hv, "--tavlo", ro, "--scan", "1-4")
        driver = browser.start()
        driver.get(f"http://127.0.0.1:{rig.port}/")
        js = driver.execute_script
        from selenium.common.exceptions import StaleElementReferenceException

        def text(sel):
            # The page redraws its cards on every event: an element found a
            # moment ago may be gone, so read it afresh.
            for _ in range(20):
                try:
                    return driver.find_element(By.CSS_SELECTOR, sel).text
                except StaleElementReferenceException:
                    time.sleep(0.05)
            return driver.find_element(By.CSS_SELECTOR, sel).text

        # The cards of the nodes the scan found, with live readings.
        wait_for(lambda: js("return document.querySelectorAll('.card').length") == 2 and
                 text("#node-1 .v") == "0", 10, "two cards with readings")
        ids = js("return [...document.querySelectorAll('.card')].map(e => e.id)")
        c.check(ids == ["node-1", "node-2"], "the page lists nodes 1 and 2 from the bus scan", ids)
        c.check("polls/s per node" in text("#rate"), "the page states the polling rate", text("#rate"))

        # 1200 V at 200 V/s, typed into node 1's card; switching on asks first.
        def ramp_in_page(check):
            card = driver.find_element(By.ID, "node-1")
            for cls in ("in-volts", "in-ramp"):
                card.find_element(By.CLASS_NAME, cls).clear()
            rows0 = js("return consoleCharts[1].numRows()")
            card = driver.find_element(By.ID, "node-1")
            card.find_element(By.CLASS_NAME, "in-volts").send_keys("1200")
            card.find_element(By.CLASS_NAME, "in-ramp").send_keys("200")
            card.find_element(By.CLASS_NAME, "b-on").click()
            alert = wait_for(lambda: driver.switch_to.alert, 3, "the confirmation")
            check("1200 V" in alert.text and "200 V/s" in alert.text, "switching on asks for confirmation", alert.text)
            alert.accept()
            wait_for(lambda: "ramping" in text("#node-1 .state"), 5, "the card shows the ramp")
            mid = wait_for(lambda: (lambda n: n if n["state"] == "ramping" and 100 < n["volts"] < 1100 else None)(
                rig.node(1)), 5, "node 1 half-way")
            check(mid["setpoint"] < 1200, "the supply ramps (API)", mid)
            n1 = wait_for(lambda: (lambda n: n if n["state"] == "within band" else None)(rig.node(1)), 15,
                          "node 1 at 1200 V")
            check(abs(n1["volts"] - 1200) <= 5, "the simulated supply reaches 1200 V (API)", n1)
            wait_for(lambda: abs(int(text("#node-1 .v")) - 1200) <= 5 and text("#node-1 .state") == "within band", 3,
                     "the card at 1200 V")
            rows1 = js("return consoleCharts[1].numRows()")
            check(rows1 > rows0 + 20, f"the trend chart gains points ({rows0} -> {rows1})")
            # Node 2 on too, straight to 400 V, so that all-off has two outputs to switch.
            r = rig.post("/api/velmora/nodes/2/on", {"volts": 400})
            check(r.status == 200 and r.json["verdict"] == "verified", "node 2 on at 400 V", r.text)
            wait_for(lambda: text("#node-2 .out") == "ON", 3, "node 2's card on")

        def all_off_first():
            rig.post("/api/velmora/all-off", {})
            time.sleep(0.5)
        with_reset_retry(rig, c, "the ramp in the page", ramp_in_page, prepare=all_off_first)

        # The readout: settle, acquire, peak where the simulated beam is.
        driver.find_element(By.ID, "in-settle").send_keys("20")
        driver.find_element(By.ID, "b-settle").click()
        wait_for(lambda: text("#unit-settle") == "20", 5, "settling 20 on the page")
        driver.find_element(By.ID, "b-acquire").click()
        wait_for(lambda: text("#profile-seq") not in ("", "–"), 5, "a profile on the page")
        c.check(text("#peak-x") == str(X_CENTRE) and text("#peak-y") == str(Y_CENTRE),
                f"the profile peaks at X {X_CENTRE}, Y {Y_CENTRE}", (text("#peak-x"), text("#peak-y")))
        bars = js("return consoleProfileCharts.x.numRows()")
        c.check(bars == 64, "64 bars in the X profile", bars)
        if shots:
            browser.full_page_shot(driver, os.path.join(shots, "console-page.png"))

        # All outputs off: both nodes, checked through the API.
        driver.find_element(By.ID, "all-off").click()
        wait_for(lambda: all(not rig.node(a)["on"] for a in (1, 2)), 5, "both outputs off")
        c.check(all(rig.node(a)["volts"] <= 10 for a in (1, 2)), "all outputs off switches both nodes off")
        wait_for(lambda: text("#node-1 .out") == "off" and text("#node-2 .out") == "off", 3, "both cards off")

        # A killed simulator: the line shows lost; restarted, the cards come back.
        cmd = rig.kill_sim("hv")
        t0 = time.time()
        wait_for(lambda: "LINE LOST" in text("#line-velmora"), 5, "the line lost on the page")
        c.check(time.time() - t0 < 2, f"the page shows the line lost ({time.time() - t0:.2f} s)")
        c.check("line lost" in text("#node-1 .state"), "and each card", text("#node-1 .state"))
        rig.restart_sim("hv", cmd)
        wait_for(lambda: "open" in text("#line-velmora") and text("#node-1 .state") == "off" and
                 text("#node-2 .state") == "off", 10, "the cards back")
        c.check(True, "restarting the simulator brings the cards back")
        logs = js("return document.querySelector('#log-velmora').textContent")
        c.check("> H1\\r" in logs or "> R1\\r" in logs, "the page logs the frames on the line", logs[:100])
        severe = [e for e in driver.get_log("browser") if e["level"] == "SEVERE" and "favicon" not in e["message"]
                  and "api/events" not in e["message"]]
        c.check(not severe, "no script errors on the page", severe[:3])
    except Exception as e:
        c.check(False, "the test ran to its end", repr(e))
        if driver:
            try:
                driver.save_screenshot(os.path.join(work, "failed.png"))
                print(f"screenshot of the failure: {work}/failed.png", file=sys.stderr)
            except Exception:
                pass
    finally:
        if driver:
            driver.quit()
        rig.stop()
    return c.done()


if __name__ == "__main__":
    sys.exit(main())
