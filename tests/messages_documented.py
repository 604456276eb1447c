#!/usr/bin/env python3
"""Every fixed text a program prints must be in the documents that promise to list them all:
the log server's in its man page and the operator's guide, the control client's in its man
page. A message is found when each literal run between its printf conversions is there,
with white space folded.

    messages_documented.py SOURCE_DIR
"""
import re
import subprocess
import sys

source = sys.argv[1]
# (header, documents); a man page is compared as man shows it, unhyphenated.
checks = [
    ("TobrinLog/server_messages.h", ["docs/man/TobrinLogger.8", "docs/operations.md"]),
    ("tellManager/tell_messages.h", ["docs/man/TellTobrinManager.1"]),
]


def fold(text):
    return " ".join(text.split())


def shown(path):
    if not path.endswith(".md"):
        return subprocess.run(["groff", "-man", "-rHY=0", "-Tascii", "-P-cbou", path],
                              check=True, capture_output=True, text=True).stdout
    return open(path, encoding="utf-8").read().replace("\\|", "|")


def messages(header):
    """Each constant's text, its adjacent literals joined; the usage texts are left out."""
    text = open(header, encoding="utf-8").read()
    literal = r'"(?:[^"\\]|\\.)*"'
    for name, body in re.findall(rf"constexpr char (k\w+)\[\] =((?:\s*{literal})+)\s*;", text):
        if "Usage" not in name and "Example" not in name:
            yield name, "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', body))


missing = []
for header, documents in checks:
    for document in documents:
        shown_text = fold(shown(f"{source}/{document}"))
        for name, message in messages(f"{source}/{header}"):
            literal = message.encode().decode("unicode_escape")
            for run in re.split(r"%[a-z]", literal):
                if fold(run) and fold(run) not in shown_text:
                    missing.append(f"{document}: {name}: '{fold(run)}'")
print("\n".join(missing) or "PASS: every message is documented")
sys.exit(1 if missing else 0)
