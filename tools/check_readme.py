#!/usr/bin/env python3
"""Runs what README.md shows, as a reader on a fresh machine would, so that the README and the
project cannot drift apart.

The shell commands (indented code blocks, and fenced blocks marked sh) run in order, in one shell,
in a copy of the source tree as a clone has it (the files git knows), with the install prefix
/opt/tavrel_mmp replaced by a scratch one. Each CMake snippet (fenced blocks marked cmake) is built
as a consumer project of its own against that prefix, with the targets it links made from a small
main. A block right after the comment `<!-- readme check: skip: REASON -->` is not run; its
commands are printed with the reason.

Usage: tools/check_readme.py SCRATCH_DIR   (emptied first)
       tools/check_readme.py --list        (prints what would run)
"""
import os
import re
import shlex
import shutil
import subprocess
import sys

README = "README.md"
PREFIX = "/opt/tavrel_mmp"
SKIP = re.compile(r"^<!--\s*readme check:\s*skip:\s*(.*?)\s*-->$")
FENCE = re.compile(r"^```\s*(\w*)\s*$")
SHELL_LANGUAGES = {"sh", "shell", "bash", "console"}


class Block:
    def __init__(self, kind, lines, line_number, skip_reason):
        self.kind = kind  # "shell" or "cmake"
        self.lines = lines
        self.line_number = line_number
        self.skip_reason = skip_reason

    def commands(self):
        """The block's commands, continuation lines joined, comments left out."""
        commands, pending = [], ""
        for line in self.lines:
            line = pending + line.strip()
            pending = ""
            if line.endswith("\\"):
                pending = line[:-1] + " "
            elif line and not line.startswith("#"):
                commands.append(line)
        return commands


def blocks(text):
    """The shell and CMake blocks of a Markdown text, in order."""
    found = []
    lines = text.splitlines()
    i = 0
    previous = ""  # the last non-blank line before the current one, outside code
    while i < len(lines):
        line = lines[i]
        fence = FENCE.match(line)
        if fence:
            language, start = fence.group(1).lower(), i + 1
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                i += 1
            kind = "shell" if language in SHELL_LANGUAGES else language
            if kind in ("shell", "cmake"):
                found.append(Block(kind, lines[start:i], start + 1, skip_of(previous)))
            previous = ""
            i += 1
            continue
        if line.startswith("    ") and line.strip() and (i == 0 or not lines[i - 1].strip()):
            start = i
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                i += 1
            body = [entry[4:] for entry in lines[start:i]]
            found.append(Block("shell", body, start + 1, skip_of(previous)))
            previous = ""
            continue
        if line.strip():
            previous = line.strip()
        i += 1
    return found


def skip_of(line):
    match = SKIP.match(line)
    return match.group(1) if match else None


def copy_source(source, destination):
    """The files git knows (tracked, and new ones it does not ignore), as in a clone."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    for name in sorted(set(filter(None, listed.decode().split("\0")))):
        path = os.path.join(source, name)
        if not os.path.lexists(path):  # deleted in the working tree
            continue
        target = os.path.join(destination, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(path, target, follow_symlinks=False)


CONSUMER_MAIN = """#include <tavrel_mmp/tavrel_mmp.h>

int main(int argc, char**) {
  // Referenced, so that the link needs the library and what it depends on; never run.
  if (argc > 99) tavrel_mmp::Nimbrel::setDevMode(true);
  return 0;
}
"""


def build_cmake_snippet(block, number, scratch, prefix, log):
    """Builds the snippet as a consumer project: each target it links is an executable."""
    snippet = "\n".join(block.lines) + "\n"
    targets = sorted(set(re.findall(r"target_link_libraries\(\s*(\w+)", snippet)))
    project = os.path.join(scratch, f"cmake_snippet_{number}")
    os.makedirs(project)
    with open(os.path.join(project, "main.cpp"), "w") as out:
        out.write(CONSUMER_MAIN)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as out:
        out.write("cmake_minimum_required(VERSION 3.25)\n")
        out.write(f"project(readme_snippet_{number} CXX)\n")
        for target in targets:
            out.write(f"add_executable({target} main.cpp)\n")
        out.write(snippet)
    build = os.path.join(project, "build")
    for command in (["cmake", "-S", project, "-B", build, "-G", "Ninja",
                     f"-DCMAKE_PREFIX_PATH={prefix}"], ["cmake", "--build", build]):
        if subprocess.run(command, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
            return False
    return True


def main(argv):
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(source, README)) as readme:
        found = blocks(readme.read())
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    listing = argv[1] == "--list"

    shell = [block for block in found if block.kind == "shell"]
    snippets = [block for block in found if block.kind == "cmake"]
    run = [command for block in shell if block.skip_reason is None for command in block.commands()]
    for block in found:
        if block.skip_reason is not None:
            for command in block.commands() if block.kind == "shell" else ["(a CMake snippet)"]:
                print(f"readme: skipped (line {block.line_number}): {command}  "
                      f"[{block.skip_reason}]")
    if listing:
        for command in run:
            print(f"readme: runs: {command}")
        for block in snippets:
            if block.skip_reason is None:
                print(f"readme: builds the CMake snippet of line {block.line_number}")
        return 0

    scratch = os.path.abspath(argv[1])
    shutil.rmtree(scratch, ignore_errors=True)
    clone, prefix = os.path.join(scratch, "source"), os.path.join(scratch, "prefix")
    os.makedirs(clone)
    copy_source(source, clone)
    log_path = os.path.join(scratch, "readme.log")
    with open(log_path, "w") as log:
        script = ["set -euo pipefail"]
        for command in run:
            actual = command.replace(PREFIX, prefix)
            script.append(f"echo {shlex.quote('readme$ ' + actual)}")
            script.append(actual)
        print(f"readme: running {len(run)} commands in {clone}")
        status = subprocess.run(["bash", "-c", "\n".join(script)], cwd=clone, stdout=log,
                                stderr=subprocess.STDOUT).returncode
        built = 0
        if status == 0:
            for number, block in enumerate(snippets, 1):
                if block.skip_reason is not None:
                    continue
                log.write(f"readme: the CMake snippet of line {block.line_number}\n")
                log.flush()
                if not build_cmake_snippet(block, number, scratch, prefix, log):
                    status = 1
                    log.write(f"readme: the CMake snippet of line {block.line_number} failed\n")
                    break
                built += 1
    if status != 0:
        with open(log_path) as log:
            print("".join(log.readlines()[-80:]), end="")
        print(f"readme: a command of {README} failed as written (the whole log: {log_path})",
              file=sys.stderr)
        return 1
    print(f"readme: {len(run)} commands ran and {built} CMake snippets built as written")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
