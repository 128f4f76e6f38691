"""The registry value names the code reads, found in the sources.

A value is read through a reader: a function whose first parameters are a
key (HKEY) and a value name (const char *), such as RegQueryValueEx,
QueryRegDword or a module's own ReadFlag, or one of the few readers with
another shape (GetCounterValue, ReadTcpipParameter). Readers are found from
their definitions, so a new helper of that shape is seen without a change
here. At each call of a reader, the name argument is taken when it is a
string literal or a constant defined as one ("kLastMsgId"); a name passed
on in a variable is the business of the reader's own callers.

Writers (Set..., Write..., Delete..., RegSetValueEx) are not readers.
"""

import os
import re

# Folders of the programs and their libraries (not the tests).
SOURCE_FOLDERS = ("platform", "zelbase", "common", "net", "ZELRECV", "ZELDELIV", "ZELFETCH",
                  os.path.join("tools", "zeladm"))

# Readers whose name argument is not the second one.
SPECIAL_READERS = {"GetCounterValue": 1, "ReadTcpipParameter": 0}

READER_DEFINITION = re.compile(
    r"\b([A-Z]\w*)\s*\(\s*HKEY\s+\w+\s*,\s*const\s+char\s*\*\s*\w+")
NOT_A_READER = re.compile(r"^(Write|Set|Delete|Reg(Set|Delete|Create|Open|Enum|Close))")
CONSTANT = re.compile(r"\b(k\w+)\s*=\s*\"([^\"\\]*)\"")
VALUE_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9]*$")


def strip_comments(text):
    """The text without // and /* */ comments; string and character literals
    are kept whole."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        elif text.startswith("/*", i):
            i = text.find("*/", i + 2)
            i = n if i < 0 else i + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def call_arguments(text, open_paren):
    """The top-level arguments of the call whose "(" is at open_paren."""
    args, depth, start, i = [], 0, open_paren + 1, open_paren
    while i < len(text):
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i = j
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(text[start:i].strip())
                return args
        elif c == "," and depth == 1:
            args.append(text[start:i].strip())
            start = i + 1
        i += 1
    return args


def read_sources(top):
    sources = {}
    for folder in SOURCE_FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(top, folder)):
            for name in files:
                if name.endswith((".cpp", ".h")):
                    path = os.path.join(dirpath, name)
                    with open(path, encoding="utf-8", errors="replace") as f:
                        sources[os.path.relpath(path, top)] = strip_comments(f.read())
    return sources


def registry_value_names(top):
    """{value name: [file, ...]} of every value name the code reads."""
    sources = read_sources(top)
    readers = dict(SPECIAL_READERS)
    constants = {}
    for text in sources.values():
        for m in READER_DEFINITION.finditer(text):
            if not NOT_A_READER.match(m.group(1)):
                readers.setdefault(m.group(1), 1)
        constants.update(CONSTANT.findall(text))
    call = re.compile(r"\b(%s)\s*\(" % "|".join(sorted(readers)))
    names = {}
    for path, text in sources.items():
        for m in call.finditer(text):
            args = call_arguments(text, m.end() - 1)
            index = readers[m.group(1)]
            if len(args) <= index:
                continue
            arg = args[index]
            if arg.startswith('"') and arg.endswith('"'):
                name = arg[1:-1]
            else:
                name = constants.get(arg)
            if name and VALUE_NAME.match(name):
                names.setdefault(name, []).append(path)
    return names


if __name__ == "__main__":
    import sys
    for value, files in sorted(registry_value_names(sys.argv[1] if len(sys.argv) > 1 else ".").items()):
        print(value, " ".join(sorted(set(files))))
