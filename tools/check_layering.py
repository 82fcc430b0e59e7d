#!/usr/bin/env python3
"""Checks that the library's folders form a ladder: a room includes only rooms below it, except
the few calls upward that are named here (and in the README's layout section). Fails, naming the
file and the include, when an include climbs the ladder anywhere else.

Usage: tools/check_layering.py [SOURCE_DIR]
"""
import os
import re
import sys

# Lowest first. A public header under include/tavrel_mmp/ belongs to the room that implements it.
LADDER = ["core", "platform", "settings", "net", "device", "events", "deeplink", "crash",
          "session", "autotrack", "commerce", "sdk", "capi"]

# The calls upward, each with the one file that makes it.
UPWARD = {
    ("events", "session"): "events/tracking_event.cpp",  # the tracker asks for re-authentication
    ("deeplink", "session"): "deeplink/deep_link_handler.cpp",  # the verified link's session report
    ("device", "session"): "device/user_profile.cpp",  # the profile's device update
}

# Public headers with no source file of the same name.
HEADER_ROOMS = {"nimbrel_options.h": "sdk", "property_dictionary.h": "core", "tavrel_mmp.h": "sdk",
                "tavrel_mmp_c.h": "capi", "version.h": "core"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def source_files(root, room):
    for directory, _, names in os.walk(os.path.join(root, room)):
        for name in sorted(names):
            if name.endswith((".h", ".cpp")):
                yield os.path.join(directory, name)


def room_of_public_header(root, header):
    """The room of "tavrel_mmp/<...>.h", or None for headers outside the ladder."""
    parts = header.split("/")
    if parts[1] == "platform":
        return "platform"
    if len(parts) != 2:
        return None
    name = parts[1]
    if name in HEADER_ROOMS:
        return HEADER_ROOMS[name]
    implementation = name[:-2] + ".cpp"
    for room in LADDER:
        for path in source_files(root, room):
            if os.path.basename(path) == implementation:
                return room
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(__file__))
    rank = {room: i for i, room in enumerate(LADDER)}
    public_rooms = {}
    problems = []
    edges = set()
    for room in LADDER:
        for path in source_files(root, room):
            relative = os.path.relpath(path, root)
            with open(path, encoding="utf-8") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    header = match.group(1)
                    top = header.split("/")[0]
                    if top == "tavrel_mmp":
                        if header not in public_rooms:
                            public_rooms[header] = room_of_public_header(root, header)
                        target = public_rooms[header]
                    else:
                        target = top if top in rank else None
                    if target is None or target == room:
                        continue
                    edges.add((room, target))
                    if rank[target] < rank[room]:
                        continue
                    if UPWARD.get((room, target)) == relative:
                        continue
                    problems.append(f"{relative}:{number}: {room}/ includes \"{header}\" of "
                                    f"{target}/, which stands above it")
    for (room, target), path in UPWARD.items():
        if os.path.isdir(os.path.join(root, room)) and (room, target) not in edges:
            problems.append(f"the upward call {room}/ -> {target}/ ({path}) is gone: remove it "
                            "from tools/check_layering.py and the README")
    if problems:
        print("The folders no longer form a ladder (" + " < ".join(LADDER) + "):")
        print("\n".join(problems))
        return 1
    print("layering: " + " < ".join(room for room in LADDER
                                      if os.path.isdir(os.path.join(root, room))) +
          f"; {len(UPWARD)} named calls upward")
    return 0


if __name__ == "__main__":
    sys.exit(main())
