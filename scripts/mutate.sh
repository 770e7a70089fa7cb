#!/usr/bin/env bash
# Mutation testing: applies each mutant of tests/mutation/mutants.txt (one at a
# time) to a copy of the tree in build-mutate/, rebuilds it incrementally in one
# build directory (RelWithDebInfo, no benchmarks or fuzzers) and runs the ctest
# suite, which must fail. Prints every survivor and the score.
#
#   scripts/mutate.sh              every mutant
#   scripts/mutate.sh 12 17 30-34  only those (numbers as listed by --list)
#   scripts/mutate.sh --list       number, file and fault of each mutant
#   scripts/mutate.sh --check      only that every original text is found once
#
# The packaging tests (package_*) are left out: they install and build a
# consumer project, which no change inside a source file alters; so are the
# tests of the API reference (docs_*), which read only the headers. Set
# KEL_MUTATE_EXCLUDE to another ctest -E regex to change that, and
# KEL_MUTATE_DIR for another scratch directory. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PY'
import os, re, shutil, subprocess, sys, time

root = os.getcwd()
work = os.path.abspath(os.environ.get("KEL_MUTATE_DIR", os.path.join(root, "build-mutate")))
tree, build = os.path.join(work, "tree"), os.path.join(work, "build")
exclude = os.environ.get("KEL_MUTATE_EXCLUDE", "^(package|docs)_")

def parse(path):
    mutants, cur, mode = [], None, None
    for raw in open(path, encoding="utf-8").read().split("\n"):
        if raw.startswith("@ "):
            file, _, what = raw[2:].partition(" | ")
            cur = {"file": file.strip(), "what": what.strip(), "old": [], "new": [], "equivalent": None}
            mutants.append(cur)
        elif cur is None or raw.startswith("#") or raw == "":
            continue
        elif raw[0] in "-+" and (len(raw) == 1 or raw[1] == " "):
            cur["old" if raw[0] == "-" else "new"].append(raw[2:])
        elif raw.startswith("= equivalent:"):
            cur["equivalent"] = raw[len("= equivalent:"):].strip()
        else:
            sys.exit(f"mutants.txt: cannot read line: {raw!r}")
    for m in mutants:
        m["old"], m["new"] = "\n".join(m["old"]), "\n".join(m["new"])
    return mutants

def occurrences(base, m):
    with open(os.path.join(base, m["file"]), encoding="utf-8") as f:
        return f.read().count(m["old"])

def select(args, n):
    if not args:
        return list(range(1, n + 1))
    chosen = []
    for arg in args:
        lo, _, hi = arg.partition("-")
        chosen += range(int(lo), int(hi or lo) + 1)
    if any(i < 1 or i > n for i in chosen):
        sys.exit(f"mutant numbers run from 1 to {n}")
    return chosen

def sync_tree():
    # Only files whose content differs are copied (with a new mtime), so the
    # build directory stays valid and each rebuild is incremental.
    files = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], check=True,
                           capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, files):
        src, dst = os.path.join(root, rel), os.path.join(tree, rel)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)

def run(cmd, timeout):
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        out, _ = p.communicate()
        return "timeout", out.decode(errors="replace")

def build_tree():
    return run(["cmake", "--build", build], 1800)

# The quick tests first: most mutants fail one of them within seconds.
slow = "FaultInjection|CrashConsistency|Stress\\.|exports_|kel_sql_|demo_output"

def suite():
    ctest = ["ctest", "--test-dir", build, "-j", str(os.cpu_count() or 2), "--stop-on-failure", "--timeout", "120"]
    rc, out = run(ctest + ["-E", f"{exclude}|{slow}"], 600)
    if rc != 0:
        return rc, out
    rc, more = run(ctest + ["-R", slow, "-E", exclude], 600)
    return rc, out + more

args = sys.argv[1:]
mutants = parse(os.path.join(root, "tests/mutation/mutants.txt"))
if args[:1] == ["--list"]:
    for i, m in enumerate(mutants, 1):
        print(f"{i:3} {m['file']}: {m['what']}" + (" [equivalent]" if m["equivalent"] else ""))
    sys.exit(0)
if args[:1] == ["--check"]:
    bad = [(i, m, occurrences(root, m)) for i, m in enumerate(mutants, 1)]
    bad = [(i, m, n) for i, m, n in bad if n != 1]
    for i, m, n in bad:
        print(f"stale {i}: {m['file']}: {m['what']} (original found {n} times)")
    print(f"{len(mutants)} mutants, {len(bad)} stale")
    sys.exit(1 if bad else 0)

chosen = select(args, len(mutants))
started = time.time()
os.makedirs(tree, exist_ok=True)
sync_tree()
# The tests load the library at run time: a mutated library needs no relinking of them.
subprocess.run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DKEL_BUILD_BENCH=OFF", "-DKEL_BUILD_FUZZ=OFF", "-DKEL_SANITIZE=", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"],
               check=True, stdout=subprocess.DEVNULL)
rc, out = build_tree()
if rc != 0:
    sys.exit("the unmutated tree does not build:\n" + out[-3000:])
rc, out = suite()
if rc != 0:
    sys.exit("the suite fails without any mutant:\n" + out[-3000:])
print(f"unmutated tree built and passed ({time.time() - started:.0f} s)", flush=True)

logs = os.path.join(work, "logs")
os.makedirs(logs, exist_ok=True)
killed, survived, stale, broken, equivalent = [], [], [], [], []
for i in chosen:
    m = mutants[i - 1]
    if m["equivalent"]:
        equivalent.append(i)
        print(f"{i:3} equivalent  {m['file']}: {m['what']} ({m['equivalent']})", flush=True)
        continue
    path = os.path.join(tree, m["file"])
    with open(path, encoding="utf-8") as f:
        original = f.read()
    if original.count(m["old"]) != 1:
        stale.append(i)
        print(f"{i:3} STALE       {m['file']}: {m['what']} (original found {original.count(m['old'])} times)",
              flush=True)
        continue
    t0 = time.time()
    with open(path, "w", encoding="utf-8") as f:
        f.write(original.replace(m["old"], m["new"]))
    try:
        rc, out = build_tree()
        if rc != 0:
            verdict = "BUILD-FAILED"
            broken.append(i)
        else:
            rc, out = suite()
            verdict = "killed" if rc != 0 else "SURVIVED"
            (killed if rc != 0 else survived).append(i)
            if rc == "timeout":
                verdict = "killed (timeout)"
    finally:
        with open(path, "w", encoding="utf-8") as f:  # a new mtime: the next build recompiles it
            f.write(original)
    with open(os.path.join(logs, f"{i}.txt"), "w") as f:
        f.write(out)
    first = next((m.group(1) for m in re.finditer(r"Test +#\d+: (\S+) \.*\s*\*\*\*(Failed|Timeout|Exception)", out)),
                 "timeout" if rc == "timeout" else "")
    print(f"{i:3} {verdict:11} {m['file']}: {m['what']} ({time.time() - t0:.0f} s{', ' + first if first else ''})",
          flush=True)

build_tree()  # leave the build matching the tree
total = len(killed) + len(survived)
print()
for i in survived:
    m = mutants[i - 1]
    print(f"survivor {i}: {m['file']}: {m['what']}\n  - {m['old']!r}\n  + {m['new']!r}")
print(f"score: {len(killed)} of {total} killed" + (f" ({100.0 * len(killed) / total:.0f}%)" if total else "") +
      f"; {len(equivalent)} equivalent, {len(stale)} stale, {len(broken)} did not build;"
      f" {time.time() - started:.0f} s")
sys.exit(1 if survived or stale or broken else 0)
PY
