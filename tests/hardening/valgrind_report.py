"""Reads memcheck's XML report and counts the errors in whose stack the module
appears (any frame in rust*.so). Prints every such error; exits non-zero if
there is one, or if the report is missing or incomplete.

    python valgrind_report.py REPORT.xml"""
import re
import sys
import xml.etree.ElementTree as ET

MODULE = re.compile(r"(^|/)rust[^/]*\.so$")


def main(path):
    root = ET.parse(path).getroot()
    if root.find("status[state='FINISHED']") is None and not any(
            s.findtext("state") == "FINISHED" for s in root.iter("status")):
        print("valgrind: the run did not finish")
        return 1
    errors = root.findall("error")
    ours = []
    for error in errors:
        frames = error.findall("stack/frame")
        if any(MODULE.search(fr.findtext("obj") or "") for fr in frames):
            ours.append(error)
    for error in ours:
        what = error.findtext("what") or error.findtext("xwhat/text")
        print("%s: %s" % (error.findtext("kind"), what))
        for fr in error.findall("stack/frame")[:12]:
            print("    %s %s:%s (%s)" % (fr.findtext("fn"), fr.findtext("file"), fr.findtext("line"),
                                         fr.findtext("obj")))
    print("valgrind: %d error records, %d in the module" % (len(errors), len(ours)))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
