"""Guest instructions executed, from a qemu-user log of `-d in_asm,exec,nochain`.

    python3 count.py LOG

in_asm lists each translated block's instructions once, under an "IN:" line;
exec (with nochain, so that no block jumps straight into the next) logs every
execution of a block with its guest address. The count is the sum, over the
executions, of the block's length.
"""

import re
import sys

BLOCK_START = "IN:"
INSTRUCTION = re.compile(r"0x([0-9a-f]+):\s")
EXECUTION = re.compile(r"Trace \d+: 0x[0-9a-f]+ \[[0-9a-f]+/([0-9a-f]+)/")


def count(lines):
    length = {}  # guest address of a block -> its instructions
    block, total = None, 0
    for line in lines:
        if line.startswith(BLOCK_START):
            block = None
            continue
        m = INSTRUCTION.match(line)
        if m:
            if block is None:
                block = int(m.group(1), 16)
                length[block] = 0
            length[block] += 1
            continue
        m = EXECUTION.match(line)
        if m:
            total += length.get(int(m.group(1), 16), 0)
    return total


if __name__ == "__main__":
    with open(sys.argv[1], errors="replace") as log:
        print(count(log))
