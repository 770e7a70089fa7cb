#!/usr/bin/env python3
"""Shows that the thread-safety analysis of a KEL_THREAD_SAFETY_ANALYSIS build
refuses code that breaks the locking rules.

    check_analysis.py COMPILE_COMMANDS SOURCE_DIR

For each case below a copy of one source file of the library or the runtime
gets one line that breaks a rule (a guarded member read without its mutex, a
function that needs the mutex called without it), and is compiled with the
very command the build uses for that file (from COMPILE_COMMANDS, with
-fsyntax-only). The compiler must refuse the copy, with the expected message
as an error at the added line; and the file as it is must compile without a
word from the analysis, so that the refusal comes from that line and nothing
else. Prints the compiler's errors. Exits 0 when every case holds.
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile

# (file, the line after which the breach goes, the breach, the expected error)
CASES = [
    ("src/kel_database/database_service.cpp", "void database_service::init() {",
     "  if (stop_requested) return;",
     "reading variable 'stop_requested' requires holding mutex 'service_mutex'"),
    ("src/kel_database/database_service.cpp", "void database_service::init() {",
     "  request_stop();",
     "calling function 'request_stop' requires holding mutex 'service_mutex' exclusively"),
    ("src/kel_database/name_registry.cpp", "boost::shared_ptr<_kel_sqlite> name_registry::get(const std::string& name) {",
     "  if (!entries_) return {};",
     "reading variable 'entries_' requires holding mutex 'mutex_'"),
    ("src/kel_database/kel_sqlite.cpp", "bool _kel_sqlite::is_opened() {",
     "  if (opened) return true;",
     "reading variable 'opened' requires holding mutex 'mutex'"),
    ("src/host_framework/kel_thread_service.cpp", "void _kel_thread_service::thread_main(service_ptr self) {",
     "  if (self->stop_requested) return;",
     "reading variable 'stop_requested' requires holding mutex 'self->mutex'"),
    ("src/host_framework/kel_object.cpp", "void kel_object_ref(boost::shared_ptr<_kel_object> obj) {",
     "  if (kel_host::state.objects.held.empty()) return;",
     "reading variable 'held' requires holding mutex 'state.objects.mutex'"),
]


def command_for(entries, path):
    for entry in entries:
        file = entry["file"]
        if not os.path.isabs(file):
            file = os.path.join(entry["directory"], file)
        if os.path.realpath(file) == os.path.realpath(path):
            args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
            return entry["directory"], args
    sys.exit(f"check_analysis: {path} is not in the compile commands: is this a KEL_THREAD_SAFETY_ANALYSIS build?")


def syntax_only(args, original, source):
    """The build's command for `original`, checking `source` instead."""
    out, skip = [], False
    for arg in args:
        if skip:
            skip = False
        elif arg == "-o":
            skip = True
        elif arg == "-c":
            out.append("-fsyntax-only")
        elif os.path.realpath(arg) == os.path.realpath(original):
            out.append(source)
        else:
            out.append(arg)
    # The copy's own quoted includes are those of the original's folder.
    return out[:1] + ["-iquote", os.path.dirname(original)] + out[1:]


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: check_analysis.py COMPILE_COMMANDS SOURCE_DIR")
    with open(sys.argv[1], encoding="utf-8") as f:
        entries = json.load(f)
    root = sys.argv[2]
    failed = 0
    checked_clean = set()
    with tempfile.TemporaryDirectory() as work:
        for number, (rel, anchor, breach, expected) in enumerate(CASES, 1):
            original = os.path.join(root, rel)
            directory, args = command_for(entries, original)
            if "-Werror=thread-safety" not in args:
                sys.exit(f"check_analysis: {rel} is compiled without -Werror=thread-safety")
            if rel not in checked_clean:
                clean = subprocess.run(syntax_only(args, original, original), cwd=directory,
                                       capture_output=True, text=True)
                if clean.returncode != 0 or "thread-safety" in clean.stderr:
                    print(f"FAIL: {rel} as it is does not compile cleanly:\n{clean.stderr}")
                    failed += 1
                    continue
                checked_clean.add(rel)
            with open(original, encoding="utf-8") as f:
                lines = f.read().split("\n")
            at = [i for i, line in enumerate(lines) if line == anchor]
            if len(at) != 1:
                sys.exit(f"check_analysis: '{anchor}' found {len(at)} times in {rel}, not once")
            lines.insert(at[0] + 1, breach)
            copy_dir = os.path.join(work, str(number))
            os.mkdir(copy_dir)
            copy = os.path.join(copy_dir, os.path.basename(rel))
            with open(copy, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            broken = subprocess.run(syntax_only(args, original, copy), cwd=directory, capture_output=True, text=True)
            errors = [line for line in broken.stderr.splitlines() if ": error: " in line]
            want = f"{os.path.basename(rel)}:{at[0] + 2}:"
            hit = [line for line in errors if want in line and f"error: {expected} [-Werror," in line]
            if broken.returncode == 0 or not hit or len(errors) != 1:
                print(f"FAIL: {rel} with `{breach.strip()}`: expected exactly the error {want} {expected}; "
                      f"the compiler exited {broken.returncode} and said:\n{broken.stderr}")
                failed += 1
                continue
            print(f"refused: {rel} with `{breach.strip()}` after `{anchor}`:")
            print("  " + hit[0].replace(copy, rel))
    if failed:
        print(f"{failed} of {len(CASES)} cases failed")
        return 1
    print(f"all {len(CASES)} breaches refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
