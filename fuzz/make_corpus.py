#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus/: one small program per
file, in the instruction set of fuzz/rig.h. Run it again after changing that
set; the replay test checks that the seeds still reach what they are for."""
import os

INJECT, FRAME, SPLIT, TICK, FAIL, HEAL, CLICK, DRAG, QUIET, PORTS, SETTLE = (
    bytes([i]) for i in range(11))
FOUR, TWO = 0, 1
OPEN, CLOSE, WRITE, COUNT, READ = (1 << i for i in range(3, 8))  # bits of a FAIL mask
LIT = [0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0]  # bytes 2 to 12: everything lit
STOP = [255] + LIT[1:]  # byte 2 asks the panel to stop its main tick
CMD16, CMD40, FRAME1, CAPTION, LEGEND = 16, 18, 0x80, 0x40, 0xC0  # click targets, faces 0-15 as is


def wire(kind, body=LIT, start=None, end=None, delta=0):
    return bytes([start or b'ab'[kind], *body, end or b'zw'[kind], (sum(body) + delta) % 256])


def inject(data):
    chunks = [data[i:i + 64] for i in range(0, len(data), 64)]
    return b''.join(INJECT + bytes([len(chunk) - 1]) + chunk for chunk in chunks)


def op(code, *operands):
    return code + bytes(x & 0xFF for x in operands)


def tick(n=1):
    return b''.join(op(TICK, min(n - i, 256) - 1) for i in range(0, n, 256))


def frames(kind, n=1, body=LIT, gap=1):
    return (op(FRAME, kind, *body) + tick(gap)) * n


def ports(*ns):
    return op(PORTS, sum(1 << n for n in ns), sum(1 << n for n in ns) >> 8)


def click(target, hold=3):
    return op(CLICK, target, hold)


up4, up2, garbage = op(SETTLE, FOUR), op(SETTLE, TWO), bytes((i * 97 + 13) % 256 for i in range(40))
SEEDS = {
    'settle-each-model': up4 + tick(10) + QUIET + up2 + tick(10),
    'frames-of-each-model': frames(FOUR, 4) + QUIET + frames(TWO, 4),
    'raw-frames-back-to-back': (inject(wire(FOUR) * 2) + tick()) * 2
    + (inject(wire(FOUR) + wire(TWO)) + tick()) * 2,
    'split-at-every-byte': b''.join(op(SPLIT, TWO, cut, 1, *LIT) + tick() for cut in range(13)),
    'split-frames-overlapping': op(SPLIT, FOUR, 5, 2, *LIT) * 4 + tick(5),
    'corrupt-checksum': (inject(wire(FOUR, delta=1)) + tick()) * 4,
    'mixed-and-wrong-markers': (inject(wire(FOUR, end=ord('w')) + wire(TWO, end=ord('z'))
                                       + wire(FOUR, start=ord('c'))) + tick()) * 4,
    'garbage-then-frames': inject(garbage) + tick(20) + up4
    + (inject(garbage[:5] + wire(FOUR)) + tick()) * 3,
    'frame-behind-a-bad-one': (inject(wire(TWO, delta=3) + wire(TWO)) + tick()) * 3,
    'truncated-frame': up4 + inject(wire(FOUR)[:7]) + tick(30) + up4,
    'stale-partial-while-down': inject(wire(TWO)[:9]) + tick(60) + up2 + tick(3),
    'all-byte-values': inject(bytes(range(256))) + tick(30) + up2,
    'stop-then-click': up4 + frames(FOUR, body=STOP, gap=100) + click(1) + tick(10),
    'stop-while-settling': frames(FOUR, 3, STOP) + tick(20) + click(3) + tick(5),
    'stop-then-frame1-press': up2 + frames(TWO, body=STOP) + click(FRAME1) + tick(50)
    + click(CAPTION) + tick(5),
    'count-and-read-fail': up4 + op(FAIL, COUNT | READ) + frames(FOUR, gap=250) + HEAL + up4,
    'open-fails-in-search': up4 + op(FAIL, OPEN) + QUIET + HEAL + up4,
    'close-fails-in-search': up4 + op(FAIL, CLOSE) + QUIET + HEAL + up4,
    'everything-fails': op(FAIL, 0xFF) + tick(512) + HEAL + up2,
    'no-ports': ports() + QUIET + tick(100) + up4,
    'switcher-on-port-15': ports(5, 15) + QUIET + tick(60) + up4,
    'route-input-2-to-output-b': up4 + click(3) + tick() + click(11) + tick(20),
    'route-by-caption': up4 + click(CAPTION | 2) + tick() + click(7) + tick(20),
    'command-buttons': up4 + click(CMD16) + tick(20) + click(CMD40) + tick(20),
    'write-fails-during-command': up4 + op(FAIL, WRITE) + click(CMD16) + tick(20) + HEAL
    + click(CMD40) + tick(20),
    'drags': up2 + op(DRAG, FRAME1, 5, 30, -20) + op(DRAG, LEGEND | 3, 7, -40, 12)
    + op(DRAG, 1, 2, 5, 5),
    'two-output-hidden-outputs': up2 + click(13) + click(15) + click(CAPTION | 3) + tick(5),
    'model-change-without-loss': up4 + frames(TWO, 5),
    'standby-and-odd-sources': up4 + frames(FOUR, 3, LIT[:8] + [0xF0, 0, 0])
    + frames(FOUR, 3, [7, 1, 2, 3, 0, 3, 16, 255, 0x5A, 2, 9]),
    'selection-expires': up4 + click(5) + frames(FOUR, 8, gap=50),
    'long-run': up4 + frames(FOUR, 8, gap=200) + QUIET + up4,
}

if __name__ == '__main__':
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for old in os.listdir(corpus):
        os.remove(os.path.join(corpus, old))
    for name, program in SEEDS.items():
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(program)
    print(f'{len(SEEDS)} seeds in {corpus}')
