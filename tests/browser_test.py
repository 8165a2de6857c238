"""The browser panel in headless Chromium on a phone-sized screen: pick input 3
and output B; the simulator hears that one route and nothing else, and the
panel shows "Input 3" on output B. Command 16 goes out on a second, confirming
press only. While the switcher is away the page says so; a two-output one
comes back with outputs A and B only.

usage: browser_test.py MATRIX_PANEL MATRIX_SIM [--screenshot FILE.png]
"""
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from polling import wait_for


def main(panel, sim, screenshot=None):
    tmp = tempfile.mkdtemp(prefix="matrix-browser-")
    children, driver = [], None
    try:
        # With --verbose the simulator also says when bytes outside command frames came.
        sim_log = open(tmp + "/sim.err", "w")
        children.append(subprocess.Popen([sim, "--link", tmp + "/switcher", "--period", "50",
                                          "--verbose"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=sim_log))
        children[0].stdout.readline()
        log = open(tmp + "/panel.err", "w")
        children.append(subprocess.Popen(
            [panel, "--ports", "1=" + tmp + "/switcher", "--listen", "127.0.0.1:0"], stderr=log,
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
        WebDriverWait(driver, 10).until(lambda _: "Input 3" in output_b.text)
        heard = lambda: [line for line in open(sim_log.name) if line.startswith("rx")]
        assert heard() == ["rx command 6: input 3 -> output B\n"], heard()
        print(heard()[0].strip(), "| output B:", output_b.text.replace("\n", " "))
        if screenshot:
            driver.save_screenshot(screenshot)

        message = driver.find_element(By.ID, "message")
        driver.find_element(By.ID, "command-16").click()
        assert "again" in message.text, message.text
        time.sleep(0.3)
        assert len(heard()) == 1, heard()
        driver.find_element(By.ID, "command-16").click()
        wait_for(lambda: len(heard()) == 2 and heard()[1].startswith("rx command 16"))

        def say(line):
            children[0].stdin.write(line + b"\n")
            children[0].stdin.flush()
        say(b"pause")
        wait_for(lambda: message.text.startswith("No switcher is connected"))
        time.sleep(1)  # the search under way, as after a switcher is swapped
        say(b"model 4x2")
        say(b"resume")
        output_a, output_c = (driver.find_element(By.ID, "output-" + c) for c in "AC")
        wait_for(lambda: output_a.is_enabled() and not output_c.is_displayed())
        assert message.text == "Pick an input and an output.", message.text
    finally:
        if driver:
            driver.quit()
        for child in reversed(children):
            child.terminate()
            child.wait(10)


if __name__ == "__main__":
    main(*[a for a in sys.argv[1:] if a != "--screenshot"])
