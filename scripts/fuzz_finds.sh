#!/usr/bin/env bash
# How quickly the API-sequence fuzzer finds the faults its invariants are
# there to catch. Each mend of fuzz/reverted_mends.txt is taken out, one at a
# time, in a copy of the tree in build-fuzz-finds/; the fuzzer is built there
# (clang, ASan+UBSan, as scripts/fuzz.sh builds it) and run until its first
# finding with a fixed libFuzzer seed, once from a fresh copy of the
# checked-in corpus (as CI starts) and once from an empty corpus. Prints the
# seconds and executions to each finding; a run from the corpus that finds
# nothing within SECONDS fails the script (from an empty corpus it is only
# reported). Not part of CI (scripts/fuzz.sh is).
#
#   scripts/fuzz_finds.sh [SECONDS [SEED]]     defaults: 300 s, seed 1
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages cmake ninja-build clang libclang-rt-14-dev libsqlite3-dev libboost-dev
exec python3 - "${1:-300}" "${2:-1}" <<'PY'
import os, re, shutil, subprocess, sys, time

seconds, seed = int(sys.argv[1]), int(sys.argv[2])
root = os.getcwd()
work = os.path.join(root, "build-fuzz-finds")
tree, build = os.path.join(work, "tree"), os.path.join(work, "build")

def parse(path):
    mends, mend, edit = [], None, None
    for raw in open(path, encoding="utf-8").read().split("\n"):
        if raw.startswith("@@ "):
            name, _, what = raw[3:].partition(" | ")
            mend = {"name": name.strip(), "what": what.strip(), "edits": []}
            mends.append(mend)
        elif raw.startswith("@ "):
            edit = {"file": raw[2:].strip(), "old": [], "new": []}
            mend["edits"].append(edit)
        elif mend is None or raw.startswith("#") or raw == "":
            continue
        elif raw[0] in "-+" and (len(raw) == 1 or raw[1] == " "):
            edit["old" if raw[0] == "-" else "new"].append(raw[2:])
        else:
            sys.exit(f"reverted_mends.txt: cannot read line: {raw!r}")
    for mend in mends:
        for edit in mend["edits"]:
            edit["old"], edit["new"] = "\n".join(edit["old"]), "\n".join(edit["new"])
    return mends

def run(*cmd, **kw):
    subprocess.run(cmd, check=True, **kw)

mends = parse(os.path.join(root, "fuzz", "reverted_mends.txt"))
os.makedirs(work, exist_ok=True)
if os.path.exists(tree):
    shutil.rmtree(tree)
shutil.copytree(root, tree, ignore=shutil.ignore_patterns(".git", "build", "build-*"))
env = dict(os.environ, CC="clang", CXX="clang++")
run("cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DKEL_BUILD_FUZZ=ON",
    "-DKEL_SANITIZE=address", "-DKEL_BUILD_TESTS=OFF", "-DKEL_BUILD_BENCH=OFF", "-DKEL_BUILD_EXAMPLES=OFF",
    env=env, stdout=subprocess.DEVNULL)
fuzz_env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1",
                UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
missed = []
for mend in mends:
    files = sorted({edit["file"] for edit in mend["edits"]})
    for file in files:  # a fresh copy (and a fresh mtime) of each file the previous mend changed
        shutil.copyfile(os.path.join(root, file), os.path.join(tree, file))
    for edit in mend["edits"]:
        path = os.path.join(tree, edit["file"])
        text = open(path, encoding="utf-8").read()
        if text.count(edit["old"]) != 1:
            sys.exit(f"{mend['name']}: the mended text is not found exactly once in {edit['file']}")
        open(path, "w", encoding="utf-8").write(text.replace(edit["old"], edit["new"]))
    run("cmake", "--build", build, "--target", "api_sequence_fuzzer", stdout=subprocess.DEVNULL)
    for start in ("corpus", "empty"):
        run_dir = os.path.join(work, f"{mend['name']}-{start}")
        shutil.rmtree(run_dir, ignore_errors=True)
        os.makedirs(os.path.join(run_dir, "corpus"))
        if start == "corpus":
            for seed_file in os.listdir(os.path.join(root, "fuzz", "corpus")):
                shutil.copyfile(os.path.join(root, "fuzz", "corpus", seed_file), os.path.join(run_dir, "corpus", seed_file))
        log = os.path.join(run_dir, "log")
        began = time.monotonic()
        with open(log, "w") as out:
            status = subprocess.run([os.path.join(build, "fuzz", "api_sequence_fuzzer"), f"-seed={seed}",
                                     f"-max_total_time={seconds}", "-timeout=20", "-rss_limit_mb=4096", "-max_len=2048",
                                     "-print_final_stats=1", f"-artifact_prefix={run_dir}/",
                                     os.path.join(run_dir, "corpus")], stdout=out, stderr=subprocess.STDOUT,
                                    env=fuzz_env).returncode
        took = time.monotonic() - began
        text = open(log, encoding="utf-8", errors="replace").read()
        found = re.search(r"^api_sequence_fuzzer: (.*)$|^==\d+==ERROR: (.*)$|runtime error: (.*)$", text, re.M)
        units = re.findall(r"^#(\d+)", text, re.M)
        executions = re.search(r"^stat::number_of_executed_units: *(\d+)", text, re.M)
        executions = executions.group(1) if executions else (units[-1] if units else "?")
        if status == 0 or not found:
            if start == "corpus":
                missed.append(mend["name"])
            print(f"{mend['name']:8} from {start:6}: NOT FOUND in {took:.0f} s ({executions} executions)")
        else:
            what = next(group for group in found.groups() if group)
            print(f"{mend['name']:8} from {start:6}: found in {took:.1f} s, {executions} executions: {what}")
        sys.stdout.flush()
for file in {edit["file"] for mend in mends for edit in mend["edits"]}:
    shutil.copyfile(os.path.join(root, file), os.path.join(tree, file))
if missed:
    sys.exit("fuzz_finds: not found from the checked-in corpus: " + ", ".join(missed))
PY
