#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus/: one small program per file, in the
instruction set of fuzz/rig.h. Run it again after changing that set; the replay test checks
that the seeds still reach what they are for."""
import os

INJECT, FRAME, SPLIT, TICK, FAIL, HEAL, CLICK, DRAG, QUIET, PORTS, SETTLE = range(11)
OPEN, CLOSE, WRITE, COUNT, READ = (1 << i for i in range(3, 8))  # bits of a FAIL mask
LIT = [0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0]  # bytes 2 to 12: everything lit
STOP = [255] + LIT[1:]  # byte 2 asks the panel to stop its main tick
CMD16, CMD40, FRAME1, CAPTION, LEGEND = 16, 18, 0x80, 0x40, 0xC0  # click targets; faces 0-15 as is


def op(code, *operands): return bytes([code, *(x & 0xFF for x in operands)])
def tick(n=1): return b''.join(op(TICK, min(n - i, 256) - 1) for i in range(0, n, 256))
def frames(kind, n=1, body=LIT, gap=1): return (op(FRAME, kind, *body) + tick(gap)) * n
def click(target, hold=3): return op(CLICK, target, hold)
def ports(*ns): return op(PORTS, sum(1 << n for n in ns), sum(1 << n for n in ns) >> 8)


def inject(data):
    return b''.join(op(INJECT, len(data[i:i + 64]) - 1) + data[i:i + 64] for i in range(0, len(data), 64))


def wire(kind, body=LIT, start=None, end=None, delta=0):
    return bytes([start or b'ab'[kind], *body, end or b'zw'[kind], (sum(body) + delta) % 256])


UP4, UP2, QUIET_, HEAL_ = op(SETTLE, 0), op(SETTLE, 1), op(QUIET), op(HEAL)
GARBAGE = bytes((i * 97 + 13) % 256 for i in range(40))
SEEDS = {
    'settle-each-model': UP4 + tick(10) + QUIET_ + UP2 + tick(10),
    'frames-of-each-model': frames(0, 4) + QUIET_ + frames(1, 4),
    'raw-frames-back-to-back': (inject(wire(0) * 2) + tick() + inject(wire(0) + wire(1)) + tick()) * 2,
    'split-at-every-byte': b''.join(op(SPLIT, 1, cut, 1, *LIT) + tick() for cut in range(13)),
    'split-frames-overlapping': op(SPLIT, 0, 5, 2, *LIT) * 4 + tick(5),
    'corrupt-checksum': (inject(wire(0, delta=1)) + tick()) * 4,
    'mixed-and-wrong-markers': (inject(wire(0, end=119) + wire(1, end=122) + wire(0, start=99)) + tick()) * 4,
    'garbage-then-frames': inject(GARBAGE) + tick(20) + UP4 + (inject(GARBAGE[:5] + wire(0)) + tick()) * 3,
    'frame-behind-a-bad-one': (inject(wire(1, delta=3) + wire(1)) + tick()) * 3,
    'truncated-frame': UP4 + inject(wire(0)[:7]) + tick(30) + UP4,
    'stale-partial-while-down': inject(wire(1)[:9]) + tick(60) + UP2 + tick(3),
    'partial-frame-then-another-port': inject(bytes(5) + wire(1)[:9]) + tick(2) + ports(5) + QUIET_
    + inject(wire(1)[9:]) + tick(3) + UP2,
    'all-byte-values': inject(bytes(range(256))) + tick(30) + UP2,
    'stop-then-click': UP4 + frames(0, body=STOP, gap=100) + click(1) + tick(10),
    'stop-while-settling': frames(0, 3, STOP) + tick(20) + click(3) + tick(5),
    'stop-then-frame1-press': UP2 + frames(1, body=STOP) + click(FRAME1) + tick(50) + click(CAPTION),
    'count-and-read-fail': UP4 + op(FAIL, COUNT | READ) + frames(0, gap=250) + HEAL_ + UP4,
    'open-fails-in-search': UP4 + op(FAIL, OPEN) + QUIET_ + HEAL_ + UP4,
    'close-fails-in-search': UP4 + op(FAIL, CLOSE) + QUIET_ + HEAL_ + UP4,
    'everything-fails': op(FAIL, 0xFF) + tick(512) + HEAL_ + UP2,
    'no-ports': ports() + QUIET_ + tick(100) + UP4,
    'switcher-on-port-15': ports(5, 15) + QUIET_ + tick(60) + UP4,
    'route-input-2-to-output-b': UP4 + click(3) + tick() + click(11) + tick(20),
    'route-by-caption': UP4 + click(CAPTION | 2) + tick() + click(7) + tick(20),
    'command-buttons': UP4 + click(CMD16) + tick(20) + click(CMD40) + tick(20),
    'write-fails-during-command': UP4 + op(FAIL, WRITE) + click(CMD16) + tick(20) + HEAL_ + click(CMD40),
    'drags': UP2 + op(DRAG, FRAME1, 5, 30, -20) + op(DRAG, LEGEND | 3, 7, -40, 12) + op(DRAG, 1, 2, 5, 5),
    'two-output-hidden-outputs': UP2 + click(13) + click(15) + click(CAPTION | 3) + tick(5),
    'model-change-without-loss': UP4 + frames(1, 5),
    'standby-and-odd-sources': UP4 + frames(0, 3, LIT[:8] + [0xF0, 0, 0])
    + frames(0, 3, [7, 1, 2, 3, 0, 3, 16, 255, 90, 2, 9]),
    'selection-expires': UP4 + click(5) + frames(0, 8, gap=50),
    'long-run': UP4 + frames(0, 8, gap=200) + QUIET_ + UP4,
}

if __name__ == '__main__':
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for name in os.listdir(corpus):
        os.remove(os.path.join(corpus, name))
    for name, program in SEEDS.items():
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(program)
    print(f'{len(SEEDS)} seeds in {corpus}')
