#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus/: one small program per
file, in the instruction set of fuzz/fuzz_program.h. Run it again after
changing that instruction set; the replay test checks the seeds still do
what their names say."""

import os

INJECT, FRAME, SPLIT, TICK, CYCLE, FAIL, HEAL, CLICK, DRAG, QUIET, PORTS, STOP, SETTLE = range(13)
FOUR, TWO = 0, 1
# Port operations as bits of a FAIL mask.
SET_COMM_PORT, SET_SETTINGS, SET_DTR, OPEN, CLOSE, WRITE, COUNT, READ = (1 << i for i in range(8))
# Click targets: Picture1 elements by their place in the reader's table,
# Label2, Frame1 and Label1 in the top two bits.
PICTURES = list(range(16)) + [33, 34, 35, 36]


def picture(index):
    return PICTURES.index(index)


def caption(index):
    return 0x40 | index


FRAME1 = 0x80


def legend(index):
    return 0xC0 | index


LIT = [0, 0, 0, 0, 1, 2, 4, 8, 0xFF, 1, 0]  # bytes 2 to 12: everything lit


def wire_frame(kind, body=LIT, start=None, end=None, checksum_delta=0):
    start = start if start is not None else (ord('b') if kind == TWO else ord('a'))
    end = end if end is not None else (ord('w') if kind == TWO else ord('z'))
    check = (sum(body) + checksum_delta) % 256
    return bytes([start] + list(body) + [end, check])


def inject(data):
    out = b''
    while data:
        chunk, data = data[:64], data[64:]
        out += bytes([INJECT, len(chunk) - 1]) + chunk
    return out


def frame(kind, body=LIT):
    return bytes([FRAME, kind] + list(body))


def split(kind, cut, gap, body=LIT):
    return bytes([SPLIT, kind, cut - 1, gap] + list(body))


def tick(n=1):
    out = b''
    while n > 0:
        step = min(n, 256)
        out += bytes([TICK, step - 1])
        n -= step
    return out


def settle(kind):
    return bytes([SETTLE, kind])


def click(target, hold=3):
    return bytes([CLICK, target, hold])


def drag(target, moves, dx, dy):
    return bytes([DRAG, target, moves, dx & 0xFF, dy & 0xFF])


def fail(mask):
    return bytes([FAIL, mask])


def ports(*numbers):
    bits = sum(1 << n for n in numbers)
    return bytes([PORTS, bits & 0xFF, bits >> 8])


QUIET_ = bytes([QUIET])
HEAL_ = bytes([HEAL])
CYCLE_ = bytes([CYCLE])


def stop(kind):
    return bytes([STOP, kind])


GARBAGE = bytes((i * 97 + 13) % 256 for i in range(40))

SEEDS = {
    'settle-four-output': settle(FOUR) + tick(10),
    'settle-two-output': settle(TWO) + tick(10),
    'frames-four-output': (frame(FOUR) + tick()) * 4,
    'frames-two-output': (frame(TWO) + tick()) * 4,
    'frames-raw-four-output': (inject(wire_frame(FOUR)) + tick()) * 4,
    'split-frame': b''.join(split(FOUR, 6, 2) + tick() for _ in range(4)) + tick(5),
    'split-at-every-byte': b''.join(split(TWO, cut, 1) + tick() for cut in range(1, 14)) + tick(5),
    # The next frame's start arrives with the end of this one and goes with it.
    'split-frames-overlapping': b''.join(split(FOUR, 6, 2) for _ in range(4)) + tick(5),
    'back-to-back': (inject(wire_frame(FOUR) * 2) + tick()) * 4,
    'back-to-back-mixed-models': (inject(wire_frame(FOUR) + wire_frame(TWO)) + tick()) * 4,
    'corrupt-checksum': (inject(wire_frame(FOUR, checksum_delta=1)) + tick()) * 4,
    'mixed-markers-a-w': (inject(wire_frame(FOUR, end=ord('w'))) + tick()) * 4,
    'mixed-markers-b-z': (inject(wire_frame(TWO, end=ord('z'))) + tick()) * 4,
    'wrong-start-marker': (inject(wire_frame(FOUR, start=ord('c'))) + tick()) * 4,
    'stop-then-click': settle(FOUR) + stop(FOUR) + tick(100) + click(picture(1)) + tick(10),
    'stop-while-settling': (stop(FOUR) + tick()) * 3 + tick(20) + click(picture(3)) + tick(5),
    'stop-then-frame1-press': settle(TWO) + stop(TWO) + tick() + click(FRAME1) + tick(50)
    + click(caption(0)) + tick(5),
    'garbage': inject(GARBAGE) + tick(20) + settle(FOUR),
    'garbage-before-frame': (inject(GARBAGE[:5] + wire_frame(FOUR)) + tick()) * 3 + settle(FOUR),
    'truncated-frame': settle(FOUR) + inject(wire_frame(FOUR)[:7]) + tick(30) + settle(FOUR),
    'stale-partial-while-down': inject(wire_frame(TWO)[:9]) + tick(60) + settle(TWO) + tick(3),
    'link-lost-and-found': settle(FOUR) + QUIET_ + settle(TWO) + tick(10),
    'count-and-read-fail': settle(FOUR) + fail(COUNT | READ) + frame(FOUR) + tick(250) + HEAL_
    + settle(FOUR),
    'open-fails-in-search': settle(FOUR) + fail(OPEN) + QUIET_ + HEAL_ + settle(FOUR),
    'everything-fails': fail(0xFF) + tick(256) + tick(256) + HEAL_ + settle(TWO),
    'close-fails-in-search': settle(FOUR) + fail(CLOSE) + QUIET_ + HEAL_ + settle(FOUR),
    'no-ports': ports() + QUIET_ + tick(100) + settle(FOUR),
    'ports-5-and-15': ports(5, 15) + QUIET_ + CYCLE_ + CYCLE_ + settle(FOUR),
    'route-input-2-to-output-b': settle(FOUR) + click(picture(3)) + tick() + click(picture(11))
    + tick(20),
    'route-by-caption': settle(FOUR) + click(caption(2)) + tick() + click(picture(7)) + tick(20),
    'command-buttons': settle(FOUR) + click(picture(33)) + tick(20) + click(picture(35)) + tick(20),
    'write-fails-during-command': settle(FOUR) + fail(WRITE) + click(picture(33)) + tick(20)
    + HEAL_ + click(picture(35)) + tick(20),
    'drag-frame': settle(FOUR) + drag(FRAME1, 5, 30, -20) + tick(5),
    'drag-legend-and-picture': settle(TWO) + drag(legend(3), 7, -40, 12)
    + drag(picture(1), 2, 5, 5) + tick(5),
    'two-output-hidden-outputs': settle(TWO) + click(picture(13)) + click(picture(15))
    + click(caption(3)) + tick(5),
    'model-change-without-loss': settle(FOUR) + (frame(TWO) + tick()) * 5,
    'standby-frames': settle(FOUR) + (frame(FOUR, [0, 0, 0, 0, 1, 2, 4, 8, 0xF0, 0, 0]) + tick()) * 3,
    'odd-sources': settle(FOUR) + (frame(FOUR, [7, 1, 2, 3, 0, 3, 16, 255, 0x5A, 2, 9]) + tick()) * 3,
    'selection-expires': settle(FOUR) + click(picture(5)) + (frame(FOUR) + tick(50)) * 8,
    'long-run': settle(FOUR) + (frame(FOUR) + tick(200)) * 8 + QUIET_ + settle(FOUR),
    'all-byte-values': inject(bytes(range(256))) + tick(30) + settle(TWO),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = os.path.join(here, 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for name, program in SEEDS.items():
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(program)
    print(f'{len(SEEDS)} seeds in {corpus}')


if __name__ == '__main__':
    main()
