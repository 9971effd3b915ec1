"""Read AddressSanitizer logs; fail on any memory error, and on leaks the module itself made.

The interpreter leaves many allocations behind at exit, some of them made while the module runs
Python code (the import of dill, dill itself). A leak belongs to the module when, going up its
stack from the allocation, a frame of the module comes before any frame of the Python evaluation
loop: the module's own C++ code, or an interpreter function it called, allocated the memory.
Interned strings are the interpreter's for its whole life, whoever asked for them first.

usage: python tools/sanitizer_report.py LOG [LOG ...]
"""

import re
import sys
from itertools import pairwise
from pathlib import Path

MODULE_FRAME = re.compile(r"hex\.cpp|hex_kernels\.h|/hexpickle/text/hex\.cpython")
NOT_THE_MODULES = re.compile(
    r" in (_PyEval_EvalFrameDefault|PyDict_SetItemString|PyUnicode_InternFromString) "
)
LEAK_REPORT = re.compile(r"^(Direct|Indirect) leak of ", re.MULTILINE)
MEMORY_ERROR = re.compile(r"^==\d+==ERROR: AddressSanitizer: .*?(?=\n\n==|\Z)", re.MULTILINE | re.DOTALL)


def module_leaks(log_text):
    starts = [m.start() for m in LEAK_REPORT.finditer(log_text)] + [len(log_text)]
    for start, end in pairwise(starts):
        report = log_text[start:end].split("\n\n")[0]
        for line in report.splitlines()[1:]:
            if NOT_THE_MODULES.search(line):
                break
            if MODULE_FRAME.search(line):
                yield report
                break


def main(paths):
    texts = [Path(path).read_text(errors="replace") for path in paths]
    errors = [m.group(0) for text in texts for m in MEMORY_ERROR.finditer(text)]
    leaks = [report for text in texts for report in module_leaks(text)]
    for report in errors + leaks:
        print(report, end="\n\n")
    print(f"sanitizer logs: {len(paths)} read, {len(errors)} memory error(s), ", end="")
    print(f"{len(leaks)} leak(s) in the module")
    return 1 if errors or leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
