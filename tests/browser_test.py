"""The browser panel in headless Chromium on a phone-sized screen: pick input 3
and output B, see the route's four bytes on the line and "Input 3" on output B.
The line runs through a tap between the panel and the simulator.

usage: browser_test.py MATRIX_PANEL MATRIX_SIM [--screenshot FILE.png]
"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import threading
import time
import tty

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def wait_for(what, seconds=20):
    end = time.monotonic() + seconds
    while not (value := what()) and time.monotonic() < end:
        time.sleep(0.05)
    assert value, "gave up waiting"
    return value


def tap(panel_side, sim_side, seen):
    """Relays both ways and keeps what the panel sends."""
    while True:
        for fd in select.select([panel_side, sim_side], [], [])[0]:
            try:
                data = os.read(fd, 256)
            except OSError:  # the panel has the port closed for a moment
                continue
            if fd == panel_side:
                seen.extend(data)
            os.write(sim_side if fd == panel_side else panel_side, data)


def main(panel, sim, screenshot=None):
    tmp = tempfile.mkdtemp(prefix="matrix-browser-")
    children, driver = [], None
    try:
        children.append(subprocess.Popen([sim, "--link", tmp + "/switcher", "--period", "50"],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE))
        children[0].stdout.readline()
        sim_side = os.open(tmp + "/switcher", os.O_RDWR | os.O_NOCTTY)
        panel_side, slave = pty.openpty()
        tty.setraw(sim_side)
        tty.setraw(slave)
        seen = bytearray()
        threading.Thread(target=tap, args=(panel_side, sim_side, seen), daemon=True).start()
        log = open(tmp + "/panel.err", "w")
        children.append(subprocess.Popen(
            [panel, "--ports", "1=" + os.ttyname(slave), "--listen", "127.0.0.1:0"], stderr=log,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen")))
        url = wait_for(lambda: next((line.split(" on ")[1].strip() for line in open(log.name)
                                     if "remote control on" in line), None))

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-sync",
                         "--disable-background-networking", "--disable-component-update",
                         "--no-first-run", "--user-data-dir=" + tmp + "/profile"]:
            options.add_argument(argument)
        options.add_experimental_option("mobileEmulation", {
            "deviceMetrics": {"width": 390, "height": 700, "pixelRatio": 2}})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get(url)
        output_b = driver.find_element(By.ID, "output-B")
        WebDriverWait(driver, 20).until(lambda _: output_b.is_enabled() and "Input 2" in output_b.text)

        driver.find_element(By.ID, "input-3").click()
        output_b.click()
        wait_for(lambda: len(seen) >= 4)
        WebDriverWait(driver, 10).until(lambda _: "Input 3" in output_b.text)
        assert bytes(seen) == bytes([6, 249, 213, 123]), bytes(seen).hex(" ")
        print("line:", bytes(seen).hex(" "), "| output B:", output_b.text.replace("\n", " "))
        if screenshot:
            driver.save_screenshot(screenshot)
    finally:
        if driver:
            driver.quit()
        for child in reversed(children):
            child.terminate()
            child.wait(10)


if __name__ == "__main__":
    main(*[a for a in sys.argv[1:] if a != "--screenshot"])
