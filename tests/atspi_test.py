"""The panel as a screen reader sees it, over AT-SPI: each of the ten
buttons once, with a button role and a press action; input 3 to output B
routed by the press actions alone, the pick shown as a state on the way;
the controls that the design hides are not there.

usage: atspi_test.py MATRIX_PANEL MATRIX_SIM   (under tests/wayland_session.sh --a11y)
"""
import os
import subprocess
import sys
import tempfile

import pyatspi

from polling import wait_for

BUTTON_ROLES = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON}
HIDDEN_BY_DESIGN = {"Option1", "INPUT", "OUTPUT"}


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def panel_window():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "matrix-panel":
            for window in app:
                if window is not None and window.name == "OXA 4*4 true matrix":
                    return window
    return None


def buttons(window):
    return [node for node in walk(window) if node.getRole() in BUTTON_ROLES]


def press(button):
    action = button.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    assert "Press" in names, (button.name, names)
    action.doAction(names.index("Press"))


def main(panel, sim):
    tmp = tempfile.mkdtemp(prefix="matrix-atspi-")
    pyatspi.Registry.getDesktop(0)  # starts the accessibility bus before the panel looks for it
    sim_log = open(tmp + "/sim.err", "w")
    children = [subprocess.Popen([sim, "--link", tmp + "/switcher", "--period", "50"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=sim_log)]
    try:
        children[0].stdout.readline()
        log = open(tmp + "/panel.err", "w")
        children.append(subprocess.Popen(
            [panel, "--ports", "1=" + tmp + "/switcher"], stderr=log,
            env=dict(os.environ, QT_LOGGING_RULES="matrix.send=true")))
        window = wait_for(panel_window)
        wait_for(lambda: any(b.name == "Output B, showing Input 2" for b in buttons(window)))

        found = buttons(window)
        names = sorted(b.name.split(",")[0] for b in found)
        expected = sorted(["Input %d" % k for k in range(1, 5)] +
                          ["Output %s" % c for c in "ABCD"] + ["Command 16", "Command 40"])
        assert names == expected, names
        hidden = [n.name for n in walk(window) if n.name in HIDDEN_BY_DESIGN]
        assert not hidden, "exposed though hidden by design: %s" % hidden

        by_name = {b.name.split(",")[0]: b for b in found}
        press(by_name["Input 3"])
        wait_for(lambda: by_name["Input 3"].getState().contains(pyatspi.STATE_CHECKED), 5)
        press(by_name["Output B"])
        wait_for(lambda: any("matrix.send: frame 06 f9 d5 7b" in line
                             for line in open(log.name)), 5)
        wait_for(lambda: by_name["Output B"].name == "Output B, showing Input 3", 5)
        heard = [line for line in open(sim_log.name) if line.startswith("rx")]
        assert heard == ["rx command 6: input 3 -> output B\n"], heard
        print("ten buttons, none hidden by design exposed; by press actions:", heard[0].strip())
    finally:
        for child in reversed(children):
            child.terminate()
            child.wait(10)


if __name__ == "__main__":
    main(*sys.argv[1:])
