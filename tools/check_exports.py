#!/usr/bin/env python3
"""Checks what libtavrel_mmp.so exports against what the public headers declare for it.

Allowed: the C functions declared TAVREL_MMP_EXPORT, and of each class or struct declared
TAVREL_MMP_EXPORT its public and protected members (with its vtable and type information).
Every exported symbol must carry the version node given; every C function declared must be
exported. Anything else the library lets out (a private member, an inner class, a standard
library instance) fails, named. And every start-up option (a member of NimbrelOptions) must be a
key of the C interface's options_json, so that a host of the shared library reaches it too.

Usage: tools/check_exports.py LIBRARY VERSION_NODE HEADER_DIR
(readelf and c++filt read any ELF, so a cross build checks its own library too.)
"""
import os
import re
import subprocess
import sys

EXPORTED_CLASS = re.compile(r"\b(class|struct)\s+TAVREL_MMP_EXPORT\s+(\w+)[^;{]*\{")
EXPORTED_FUNCTION = re.compile(r"TAVREL_MMP_EXPORT\b[^;{()]*?\b(\w+)\s*\(")
ACCESS = re.compile(r"\b(public|protected|private)\s*:")
MEMBER = re.compile(r"(~?\w+|operator\s*\S+?)\s*\(")


def without_comments(text):
    """The declarations of a header: no comments, no preprocessor lines."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r"^\s*#[^\n]*", " ", text, flags=re.M)


def class_body(text, start):
    """The text between the brace at `start` and its match."""
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "{":
            depth += 1
        elif text[i] == "}":
            depth -= 1
            if depth == 0:
                return text[start + 1:i]
    return text[start + 1:]


def outer_level(body):
    """The class body without what nested braces hold (inline bodies, nested types)."""
    kept, depth = [], 0
    for char in body:
        if char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
        elif depth == 0:
            kept.append(char)
    return "".join(kept)


def declared(header_dir):
    """(C functions, {class: members hosts may reach}) of the public headers."""
    functions, classes = set(), {}
    for directory, _, names in os.walk(header_dir):
        for name in names:
            if not name.endswith(".h"):
                continue
            with open(os.path.join(directory, name)) as header:
                text = without_comments(header.read())
            for match in EXPORTED_CLASS.finditer(text):
                kind, cls = match.groups()
                body = outer_level(class_body(text, match.end() - 1))
                access = "public" if kind == "struct" else "private"
                members = classes.setdefault(cls, set())
                # Split at access labels; each part's declarations carry that part's access.
                parts = ACCESS.split(body)
                for i, part in enumerate(parts):
                    if part in ("public", "protected", "private") and i % 2 == 1:
                        access = part
                        continue
                    if access == "private":
                        continue
                    for statement in part.split(";"):
                        found = MEMBER.search(statement)
                        if found:
                            members.add(re.sub(r"\s+", "", found.group(1)))
            functions.update(match.group(1) for match in EXPORTED_FUNCTION.finditer(text))
    return functions, classes


def exported(library):
    """[(name, version)] of the symbols the library defines for others."""
    listing = subprocess.run(["readelf", "--dyn-syms", "--wide", library], check=True,
                             capture_output=True, text=True).stdout
    symbols = []
    for line in listing.splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) < 8 or not fields[0].endswith(":") or fields[6] == "UND":
            continue
        if fields[4] not in ("GLOBAL", "WEAK"):
            continue
        name, _, version = fields[7].partition("@")
        symbols.append((name, version.lstrip("@"), fields[6] == "ABS"))
    return symbols


def demangle(names):
    out = subprocess.run(["c++filt"], input="\n".join(names) + "\n", check=True,
                         capture_output=True, text=True).stdout
    return out.splitlines()


def allowed(demangled, functions, classes):
    special = re.match(r"^(?:typeinfo name for|typeinfo for|vtable for) tavrel_mmp::(\w+)$",
                       demangled)
    if special:
        return special.group(1) in classes
    if re.match(r"^\w+$", demangled):
        return demangled in functions
    member = re.match(r"^tavrel_mmp::(\w+)::(~?\w+|operator\S+?)(?:\[abi:\w+\])?\(", demangled)
    if member and member.group(1) in classes:
        return member.group(2) in classes[member.group(1)]
    free = re.match(r"^tavrel_mmp::(?:\w+::)*(\w+)(?:\[abi:\w+\])?\(", demangled)
    return bool(free) and free.group(1) in functions


def options_without_c_key(header_dir):
    """Members of NimbrelOptions that the C header does not name as an options_json key."""
    with open(os.path.join(header_dir, "tavrel_mmp", "nimbrel_options.h")) as header:
        text = without_comments(header.read())
    members = re.findall(r"^\s*[\w:<>]+\s+(\w+)\s*(?:=[^;]*)?;", text, flags=re.M)
    with open(os.path.join(header_dir, "tavrel_mmp", "tavrel_mmp_c.h")) as header:
        c_header = header.read()
    return [name for name in members if f'"{name}"' not in c_header]


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    library, node, header_dir = argv[1:]
    functions, classes = declared(header_dir)
    symbols = [symbol for symbol in exported(library) if not (symbol[2] and symbol[0] == node)]
    names = demangle([name for name, _, _ in symbols])
    faults = []
    for (name, version, _), readable in zip(symbols, names):
        if version != node:
            faults.append(f"exported outside the version node {node}: {readable} "
                          f"({version or 'no version'})")
        if not allowed(readable, functions, classes):
            faults.append(f"exported, but no public header declares it for hosts: {readable}")
    for function in sorted(functions - {name for name, _, _ in symbols}):
        faults.append(f"declared for hosts, but not exported: {function}")
    for option in options_without_c_key(header_dir):
        faults.append(f"start-up option without a key in the C options_json: {option}")
    for fault in faults:
        print(f"exports: {fault}")
    print(f"exports: {len(symbols)} symbols of {os.path.basename(library)} under {node}, "
          f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
