"""The browser panel in headless Chromium on a phone-sized screen. A press on
the grid's cell for input 3 and output B puts that one frame on the line; the
lit cell follows what the switcher reports, its own changes too. A preset
saved from what the switcher shows lights again once recalled. In Take mode
picks wait until Take sends them as one. Command 16 goes out on a second,
confirming press only. While the switcher is away the page says so; a
two-output one comes back with rows A and B only.

usage: browser_test.py MATRIX_PANEL MATRIX_SIM [--screenshots DIR]
"""
import json
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from polling import wait_for


def main(panel, sim, screenshots=None):
    tmp = tempfile.mkdtemp(prefix="matrix-browser-")
    children, driver = [], None
    try:
        sim_log = open(tmp + "/sim.err", "w")
        children.append(subprocess.Popen([sim, "--link", tmp + "/switcher", "--period", "50"],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=sim_log))
        children[0].stdout.readline()
        log = open(tmp + "/panel.err", "w")
        # matrix.send logs each frame's bytes as they go on the line.
        children.append(subprocess.Popen(
            [panel, "--ports", "1=" + tmp + "/switcher", "--listen", "127.0.0.1:0"], stderr=log,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_DATA_HOME=tmp + "/data",
                     QT_LOGGING_RULES="matrix.send=true")))
        url = wait_for(lambda: next((line.split(" on ")[1].strip() for line in open(log.name)
                                     if "remote control on" in line), None))

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-sync",
                         "--disable-background-networking", "--disable-component-update",
                         "--no-first-run", "--user-data-dir=" + tmp + "/profile"]:
            options.add_argument(argument)
        options.add_experimental_option("mobileEmulation", {
            "deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 2}})
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get(url)
        find = lambda id: driver.find_element(By.ID, id)
        lit = lambda id: find(id).get_attribute("aria-pressed") == "true"
        message = find("message")

        def frames():
            return [line.split("frame ")[1][:11] for line in open(log.name)
                    if "matrix.send: frame" in line]

        def requests():
            """What the page asked of the API since the last call, GETs aside."""
            events = (json.loads(entry["message"])["message"]
                      for entry in driver.get_log("performance"))
            return [(e["params"]["request"]["url"].split("/api/v1/")[1],
                     e["params"]["request"].get("postData"))
                    for e in events if e["method"] == "Network.requestWillBeSent"
                    and e["params"]["request"]["method"] != "GET"]

        def say(line):
            children[0].stdin.write(line + b"\n")
            children[0].stdin.flush()

        wait_for(lambda: find("cell-B-3").is_enabled() and lit("cell-B-2"))
        find("cell-B-3").click()
        wait_for(lambda: lit("cell-B-3") and not lit("cell-B-2"))
        assert frames() == ["06 f9 d5 7b"], frames()

        say(b"route 4 A")
        wait_for(lambda: lit("cell-A-4") and not lit("cell-A-1"))

        # Stored from what the switcher shows: A4 B3 C3 D4.
        find("preset-name").send_keys("Lecture")
        find("save").click()
        wait_for(lambda: driver.find_elements(By.CLASS_NAME, "preset"))
        preset = driver.find_element(By.CLASS_NAME, "preset")
        assert "Lecture" in preset.text and "A4 B3 C3 D4" in preset.text, preset.text
        say(b"route 1 A")
        wait_for(lambda: lit("cell-A-1") and preset.get_attribute("aria-pressed") == "false")
        preset.click()
        wait_for(lambda: preset.get_attribute("aria-pressed") == "true" and len(frames()) == 5)
        assert frames()[1:] == ["03 fc d5 7b", "06 f9 d5 7b", "0a f5 d5 7b", "0f f0 d5 7b"], \
            frames()

        find("take-mode").click()
        find("cell-C-1").click()
        find("cell-D-2").click()
        assert "pending" in find("cell-C-1").get_attribute("class")
        time.sleep(0.3)
        assert len(frames()) == 5 and not lit("cell-C-1"), frames()
        requests()
        find("take").click()
        wait_for(lambda: lit("cell-C-1") and lit("cell-D-2") and len(frames()) == 7)
        assert frames()[5:] == ["08 f7 d5 7b", "0d f2 d5 7b"], frames()
        assert requests() == [("routes", '{"routes":{"C":1,"D":2}}')]
        print("on the line:", " | ".join(frames()))
        find("take-mode").click()
        if screenshots:
            find("preset-name").send_keys("Lab")
            find("save").click()
            wait_for(lambda: len(driver.find_elements(By.CLASS_NAME, "preset")) == 2)
            driver.execute_script("document.activeElement.blur()")
            driver.save_screenshot(screenshots + "/remote-phone.png")
            # A tablet in Take mode, two picks waiting.
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 820, "height": 880, "deviceScaleFactor": 1, "mobile": True})
            for id in ["take-mode", "cell-C-3", "cell-D-4"]:
                find(id).click()
            driver.execute_script("document.activeElement.blur()")
            driver.save_screenshot(screenshots + "/remote-tablet.png")
            for id in ["clear", "take-mode"]:
                find(id).click()

        count = len(frames())
        find("command-16").click()
        assert "again" in message.text, message.text
        time.sleep(0.3)
        assert len(frames()) == count, frames()
        find("command-16").click()
        wait_for(lambda: frames()[count:] == ["10 ef d5 7b"])

        say(b"pause")
        wait_for(lambda: message.text.startswith("No switcher is connected"))
        time.sleep(1)  # the search under way, as after a switcher is swapped
        say(b"model 4x2")
        say(b"resume")
        wait_for(lambda: find("cell-A-1").is_enabled() and not find("cell-C-1").is_displayed())
        assert message.text == "Press a cell to route its input to its output.", message.text
    finally:
        if driver:
            driver.quit()
        for child in reversed(children):
            child.terminate()
            child.wait(10)


if __name__ == "__main__":
    main(*[a for a in sys.argv[1:] if a != "--screenshots"])
