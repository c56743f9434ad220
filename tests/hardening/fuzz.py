"""Fuzzes the four functions with the executions of fuzz_target.py.

    python fuzz.py [libFuzzer flags] [CORPUS_DIR]   atheris, guided by the coverage of
                                                    the Python code that decodes the
                                                    bytes into arguments (the module's
                                                    native code is not instrumented)
    python fuzz.py --replay DIR                     every input saved in DIR, once
    python fuzz.py --random N [SEED]                N unguided random inputs (no atheris
                                                    needed: the fallback, and the fast
                                                    way under the address sanitizer)

Each prints the number of executions; a failed check raises, with the input."""
import os
import random
import sys

import numpy  # noqa: F401 - imported before instrumentation, which would slow it down

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def run_each(inputs):
    import fuzz_target

    count = 0
    for data in inputs:
        try:
            fuzz_target.one_input(data)
        except BaseException:
            print("failing input: %s" % data.hex(), file=sys.stderr)
            raise
        count += 1
    return count


def main(argv):
    if argv[1:2] == ["--random"]:
        runs = int(argv[2])
        rng = random.Random(int(argv[3]) if len(argv) > 3 else 1)
        count = run_each(rng.randbytes(rng.randrange(0, 600)) for _ in range(runs))
        print("fuzz executions (random): %d" % count)
        return
    if argv[1:2] == ["--replay"]:
        names = sorted(os.listdir(argv[2]))

        def read(name):
            with open(os.path.join(argv[2], name), "rb") as f:
                return f.read()

        count = run_each(read(n) for n in names)
        print("fuzz executions (replay of %s): %d" % (argv[2], count))
        return
    import atheris

    with atheris.instrument_imports(include=["fuzz_target", "reference"]):
        import fuzz_target
    atheris.Setup(argv, fuzz_target.one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
