"""Resident memory of this process, as the memory tests watch it; the PyPy test
imports this module into an interpreter of its own too."""
import gc
import os


def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource  # the peak resident size: it grows with any leak as well

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def peak_growth(make, calls):
    """The highest rise of resident memory over calls to make(), read every 8."""
    gc.collect()
    start = resident_bytes()
    peak = 0
    for i in range(calls):
        make()
        if i % 8 == 7:
            peak = max(peak, resident_bytes() - start)
    return peak
