#!/usr/bin/env python3
"""Mutation testing for _io_rs: what the test suite is worth, mutant by mutant.

Each mutant in tools/mutants.toml is one deliberate fault: an exact piece of a
source file under src/ and its replacement. For every mutant the runner
applies the fault to a copy of the repository, rebuilds the module there
incrementally with CMake and Ninja, runs the whole pytest suite against the
rebuilt module and puts the file back. A mutant is killed when the suite
fails (or times out), survived when it passes, stale when its text is not
found exactly once, and no-build when it does not compile.

The copies live in build/mutants/work-<j>, one per parallel job. Each holds
the repository's files (src/, CMakeLists.txt and third_party/ from
--source-rev, everything else from --suite-rev; by default both as they are
on disk, tracked and untracked-but-not-ignored), a CMake build tree in
build/ and a small virtual environment in venv/ on top of .venv. pytest runs
with that environment's interpreter and with the directory of each built
module first on PYTHONPATH; the environment's own site-packages holds links
to the same modules, so that tests which start an interpreter with a
PYTHONPATH of their own still import the work tree's module, never the one
installed in .venv.

Run it with the checkout's .venv interpreter (make mutants does):

    .venv/bin/python tools/mutants.py --jobs 2
    .venv/bin/python tools/mutants.py --area binding conversion --compare tools/mutants-baseline.json
"""

import argparse
import io
import json
import os
import queue
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import tomllib
from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
VENV = REPO / ".venv"
VENV_PYTHON = VENV / "bin" / "python"
DEFAULT_MUTANTS = REPO / "tools" / "mutants.toml"
DEFAULT_ROOT = REPO / "build" / "mutants"

# Paths that make up the module's sources; everything else belongs to the suite.
SOURCE_PARTS = ("src/", "third_party/")
SOURCE_FILES = ("CMakeLists.txt",)
# Left alone when a work tree is brought up to date.
KEPT_IN_WORK = {"build", "venv", ".hypothesis", ".pytest_cache", ".mypy_cache", "__pycache__"}

STATUSES = ("killed", "survived", "stale", "no-build")
BUILD_TIMEOUT = 3600


# ---------------------------------------------------------------- mutants


@dataclass(frozen=True)
class Mutant:
    id: str
    area: str
    file: str
    find: str
    replace: str
    why: str
    expect: str = "kill"  # or "survive": a harmless (equivalent) mutant


@dataclass
class Outcome:
    id: str
    area: str
    file: str
    status: str
    expect: str
    seconds: float
    killed_by: str | None = None
    detail: str | None = None
    why: str = ""


def load_mutants(path: Path) -> list[Mutant]:
    with path.open("rb") as f:
        data = tomllib.load(f)
    mutants = []
    seen: set[str] = set()
    for entry in data.get("mutant", []):
        missing = [key for key in ("id", "area", "file", "find", "replace", "why") if key not in entry]
        if missing:
            raise SystemExit(f"{path}: mutant {entry.get('id', '?')} lacks {', '.join(missing)}")
        unknown = set(entry) - {"id", "area", "file", "find", "replace", "why", "expect"}
        if unknown:
            raise SystemExit(f"{path}: mutant {entry['id']} has unknown keys {sorted(unknown)}")
        if entry["id"] in seen:
            raise SystemExit(f"{path}: duplicate mutant id {entry['id']}")
        if entry.get("expect", "kill") not in ("kill", "survive"):
            raise SystemExit(f"{path}: mutant {entry['id']}: expect must be \"kill\" or \"survive\"")
        if not entry["file"].startswith("src/"):
            raise SystemExit(f"{path}: mutant {entry['id']}: file must lie under src/")
        if entry["find"] == entry["replace"]:
            raise SystemExit(f"{path}: mutant {entry['id']}: replace equals find")
        seen.add(entry["id"])
        mutants.append(Mutant(**entry))
    return mutants


def select_mutants(mutants: list[Mutant], only: Sequence[str] | None, areas: Sequence[str] | None) -> list[Mutant]:
    if only:
        unknown = set(only) - {m.id for m in mutants}
        if unknown:
            raise SystemExit(f"no such mutant: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.id in only]
    if areas:
        unknown = set(areas) - {m.area for m in mutants}
        if unknown:
            raise SystemExit(f"no mutant in area: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m.area in areas]
    return mutants


# ---------------------------------------------------------------- repository files


@dataclass(frozen=True)
class FileEntry:
    data: bytes
    executable: bool = False
    link: str | None = None  # a symbolic link's target instead of data


def is_source_path(path: str) -> bool:
    return path in SOURCE_FILES or path.startswith(SOURCE_PARTS)


def git(*args: str) -> bytes:
    return subprocess.run(["git", "-C", str(REPO), *args], check=True, capture_output=True).stdout


def files_on_disk() -> dict[str, FileEntry]:
    """Tracked and untracked-but-not-ignored files as they are in the checkout."""
    listed = git("ls-files", "-z", "--cached", "--others", "--exclude-standard").decode().split("\0")
    files = {}
    for name in filter(None, listed):
        path = REPO / name
        if path.is_symlink():
            files[name] = FileEntry(b"", link=os.readlink(path))
        elif path.is_file():  # a tracked file deleted in the checkout is left out
            files[name] = FileEntry(path.read_bytes(), executable=os.access(path, os.X_OK))
    return files


def files_at_revision(rev: str) -> dict[str, FileEntry]:
    try:
        commit = git("rev-parse", "--verify", "--quiet", f"{rev}^{{commit}}").decode().strip()
    except subprocess.CalledProcessError:
        raise SystemExit(f"not a revision of this repository: {rev}") from None
    archive = tarfile.open(fileobj=io.BytesIO(git("archive", "--format=tar", commit)))
    files = {}
    for member in archive:
        if member.issym():
            files[member.name] = FileEntry(b"", link=member.linkname)
        elif member.isfile():
            extracted = archive.extractfile(member)
            assert extracted is not None
            files[member.name] = FileEntry(extracted.read(), executable=bool(member.mode & 0o111))
    return files


def wanted_files(source_rev: str | None, suite_rev: str | None) -> dict[str, FileEntry]:
    cache: dict[str | None, dict[str, FileEntry]] = {}

    def files_of(rev: str | None) -> dict[str, FileEntry]:
        if rev not in cache:
            cache[rev] = files_on_disk() if rev is None else files_at_revision(rev)
        return cache[rev]

    sources = {p: e for p, e in files_of(source_rev).items() if is_source_path(p)}
    suite = {p: e for p, e in files_of(suite_rev).items() if not is_source_path(p)}
    return sources | suite


def kept(relative: Path) -> bool:
    return relative.parts[0] in KEPT_IN_WORK or "__pycache__" in relative.parts


def sync_tree(work: Path, files: dict[str, FileEntry]) -> None:
    """Makes work hold exactly files (build products aside), writing only what
    differs, so that Ninja rebuilds only what changed since the last run."""
    work.mkdir(parents=True, exist_ok=True)
    for path in sorted(work.rglob("*"), reverse=True):
        relative = path.relative_to(work)
        if kept(relative):
            continue
        name = relative.as_posix()
        if path.is_symlink() or path.is_file():
            if name not in files:
                path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()
    for name, entry in files.items():
        write_entry(work / name, entry)


def write_entry(path: Path, entry: FileEntry) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    if entry.link is not None:
        if path.is_symlink() and os.readlink(path) == entry.link:
            return
        if path.is_symlink() or path.exists():
            path.unlink()
        path.symlink_to(entry.link)
        return
    if path.is_symlink():
        path.unlink()
    if not path.is_file() or path.read_bytes() != entry.data:
        path.write_bytes(entry.data)
    mode = 0o755 if entry.executable else 0o644
    if path.stat().st_mode & 0o777 != mode:
        path.chmod(mode)


# ---------------------------------------------------------------- work trees


@dataclass
class WorkTree:
    root: Path
    ninja_jobs: int
    modules: list[Path] = field(default_factory=list)  # the built extension modules
    python: Path = Path()

    @property
    def build(self) -> Path:
        return self.root / "build"

    @property
    def venv(self) -> Path:
        return self.root / "venv"

    def environment(self) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
        directories = list(dict.fromkeys(str(m.parent) for m in self.modules))
        env["PYTHONPATH"] = os.pathsep.join(directories)
        env["VIRTUAL_ENV"] = str(self.venv)
        env["PATH"] = os.pathsep.join([str(self.venv / "bin"), str(VENV / "bin"), env.get("PATH", "")])
        return env


def run_captured(command: Sequence[str | Path], cwd: Path, timeout: float | None = None,
                 env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


def configure(tree: WorkTree) -> None:
    if (tree.build / "build.ninja").is_file():
        return  # Ninja reruns CMake by itself when CMakeLists.txt changes
    done = run_captured([VENV / "bin" / "cmake", "-S", tree.root, "-B", tree.build, "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={VENV_PYTHON}",
                         f"-DCMAKE_MAKE_PROGRAM={VENV / 'bin' / 'ninja'}"], cwd=tree.root, timeout=BUILD_TIMEOUT)
    if done.returncode != 0:
        raise SetupError(f"CMake could not configure {tree.root}", done.stdout + done.stderr)


def build(tree: WorkTree) -> subprocess.CompletedProcess[str]:
    return run_captured([VENV / "bin" / "ninja", "-C", tree.build, "-j", str(tree.ninja_jobs)], cwd=tree.root,
                        timeout=BUILD_TIMEOUT)


def built_modules(build_dir: Path) -> list[Path]:
    """Every Python extension module the build produced."""
    found = []
    for path in sorted(build_dir.rglob("*.so")):
        relative = path.relative_to(build_dir)
        if "CMakeFiles" in relative.parts or path.name.startswith("lib"):
            continue
        found.append(path)
    return found


def module_name(path: Path) -> str:
    return path.name.split(".", 1)[0]


def site_packages(python: Path) -> Path:
    out = run_captured([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], cwd=REPO)
    if out.returncode != 0:
        raise SetupError(f"{python} does not run", out.stdout + out.stderr)
    return Path(out.stdout.strip())


def prepare_venv(tree: WorkTree) -> None:
    """An environment whose interpreter sees .venv's packages (NumPy, pytest,
    mypy, ...) but the work tree's modules first."""
    python = tree.venv / "bin" / "python"
    if not python.exists():
        done = run_captured([VENV_PYTHON, "-m", "venv", "--without-pip", tree.venv], cwd=tree.root)
        if done.returncode != 0:
            raise SetupError(f"could not create {tree.venv}", done.stdout + done.stderr)
    tree.python = python
    own = site_packages(python)
    base = site_packages(VENV_PYTHON)
    (own / "io_rs_mutants.pth").write_text(f"import site; site.addsitedir({str(base)!r})\n")
    for entry in own.iterdir():
        if entry.name.endswith(".so") or entry.name.endswith("-stubs") or entry.is_symlink():
            remove(entry)
    # The Python packages under src/ (io_rs) come from the work tree too, so
    # that their mutants are what the suite imports.
    for package in sorted((tree.root / "src").glob("*/__init__.py")):
        (own / package.parent.name).symlink_to(package.parent)
    stubs = sorted((tree.root / "stubs").glob("*-stubs"))
    for module in tree.modules:
        (own / module.name).symlink_to(module)
        # The stubs go beside every copy of the module, as an installation puts them.
        for directory in (own, module.parent):
            for stub in stubs:
                if directory / stub.name != stub:
                    remove(directory / stub.name)
                    shutil.copytree(stub, directory / stub.name)


def remove(path: Path) -> None:
    if path.is_symlink() or path.is_file():
        path.unlink()
    elif path.is_dir():
        shutil.rmtree(path)


def check_imports(tree: WorkTree) -> None:
    """Each module and package must come from the work tree, with PYTHONPATH
    as set and with a PYTHONPATH a test might set for a subprocess of its own."""
    names = [module_name(m) for m in tree.modules]
    names += [p.parent.name for p in sorted((tree.root / "src").glob("*/__init__.py"))]
    code = "import importlib, sys\nfor n in sys.argv[1:]: print(importlib.import_module(n).__file__)"
    with tempfile.TemporaryDirectory() as empty:
        for label, env in (("PYTHONPATH set", tree.environment()),
                           ("PYTHONPATH replaced", tree.environment() | {"PYTHONPATH": empty})):
            done = run_captured([tree.python, "-c", code, *names], cwd=Path(empty), env=env)
            if done.returncode != 0:
                raise SetupError(f"the built modules do not import ({label})", done.stdout + done.stderr)
            for name, file in zip(names, done.stdout.split()):
                if not Path(file).resolve().is_relative_to(tree.root.resolve()):
                    raise SetupError(f"{name} imports from {file}, not from {tree.root} ({label})", "")


def prepare_tree(root: Path, files: dict[str, FileEntry], ninja_jobs: int) -> WorkTree:
    tree = WorkTree(root, ninja_jobs)
    sync_tree(root, files)
    configure(tree)
    done = build(tree)
    if done.returncode != 0:
        raise SetupError(f"the unmutated sources do not build in {root}", done.stdout + done.stderr)
    tree.modules = built_modules(tree.build)
    if not any(module_name(m) == "_io_rs" for m in tree.modules):
        raise SetupError(f"no _io_rs module in {tree.build}", "")
    prepare_venv(tree)
    check_imports(tree)
    return tree


class SetupError(Exception):
    def __init__(self, message: str, output: str) -> None:
        super().__init__(message)
        self.output = output


# ---------------------------------------------------------------- running the suite


@dataclass
class SuiteRun:
    passed: bool
    seconds: float
    output: str
    first_failure: str | None = None
    detail: str | None = None


class Runner:
    """Runs the suite in work trees, and can stop every run it started."""

    def __init__(self, pytest_args: Sequence[str], timeout: float) -> None:
        self.pytest_args = list(pytest_args)
        self.timeout = timeout
        self.stopping = threading.Event()
        self._running: set[subprocess.Popen[str]] = set()
        self._lock = threading.Lock()

    def stop(self) -> None:
        self.stopping.set()
        with self._lock:
            for process in self._running:
                kill_group(process)

    def suite(self, tree: WorkTree, stop_at_first: bool = True) -> SuiteRun:
        remove(tree.root / ".hypothesis")  # no example saved under one mutant is replayed under another
        command = [str(tree.python), "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider",
                   *(["-x"] if stop_at_first else []), *self.pytest_args, str(tree.root / "tests")]
        started = time.monotonic()
        process = subprocess.Popen(command, cwd=tree.root, env=tree.environment(), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, start_new_session=True)
        with self._lock:
            self._running.add(process)
        try:
            output, _ = process.communicate(timeout=self.timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            kill_group(process)
            output, _ = process.communicate()
            timed_out = True
        finally:
            with self._lock:
                self._running.discard(process)
        seconds = time.monotonic() - started
        if timed_out:
            return SuiteRun(False, seconds, output, last_test_running(output), f"timeout after {self.timeout:g} s")
        if process.returncode == 0:
            return SuiteRun(True, seconds, output)
        first, detail = first_failure(output, process.returncode)
        return SuiteRun(False, seconds, output, first, detail)


def kill_group(process: subprocess.Popen[str]) -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


SUMMARY_LINE = re.compile(r"^(FAILED|ERROR) (.+)$")
CRASH_FRAME = re.compile(r'^\s*File "(?P<file>[^"]*/tests/[^"]+\.py)", line \d+ in (?P<function>\w+)')


def first_failure(output: str, returncode: int) -> tuple[str | None, str | None]:
    for line in output.splitlines():
        if match := SUMMARY_LINE.match(line):
            return node_id(match.group(2)), None if match.group(1) == "FAILED" else "error"
    if returncode < 0:
        return last_test_running(output), f"crash (signal {-returncode})"
    if "Fatal Python error" in output:
        return last_test_running(output), "crash"
    return None, f"pytest exit status {returncode}"


def node_id(summary: str) -> str:
    """The node id of a summary line's "<node id> - <message>", where the
    parameters in brackets may hold " - " themselves."""
    head, dash, _ = summary.partition(" - ")
    if "[" in head and not head.endswith("]") and (close := summary.find("] - ")) >= 0:
        return summary[:close + 1]
    return head if dash else summary


def last_test_running(output: str) -> str | None:
    """The innermost test function in a faulthandler traceback, if any."""
    frames = [m for line in output.splitlines() if (m := CRASH_FRAME.match(line))]
    for match in frames:
        if match.group("function").startswith("test"):
            return f"tests/{Path(match.group('file')).name}::{match.group('function')}"
    return None


# ---------------------------------------------------------------- one mutant


def run_mutant(tree: WorkTree, mutant: Mutant, runner: Runner) -> Outcome:
    started = time.monotonic()
    outcome = Outcome(mutant.id, mutant.area, mutant.file, "stale", mutant.expect, 0.0, why=mutant.why)
    path = tree.root / mutant.file
    if not path.is_file():
        outcome.detail = f"{mutant.file} does not exist"
        return finish(outcome, started)
    original = path.read_bytes()
    find = mutant.find.encode()
    count = original.count(find)
    if count != 1:
        outcome.detail = f"find text occurs {count} times in {mutant.file}"
        return finish(outcome, started)
    try:
        path.write_bytes(original.replace(find, mutant.replace.encode()))
        built = build(tree)
        if built.returncode != 0:
            outcome.status = "no-build"
            outcome.detail = compiler_errors(built.stdout + built.stderr)
            return finish(outcome, started)
        run = runner.suite(tree)
        outcome.status = "survived" if run.passed else "killed"
        outcome.killed_by = run.first_failure
        outcome.detail = run.detail
    finally:
        # Written back with a new time stamp, so that the next build compiles it again.
        path.write_bytes(original)
    return finish(outcome, started)


def finish(outcome: Outcome, started: float) -> Outcome:
    outcome.seconds = round(time.monotonic() - started, 1)
    return outcome


def compiler_errors(output: str, most: int = 6) -> str:
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if "error" in line.lower():
            return "\n".join(lines[i:i + most])
    return "\n".join(lines[-most:])


# ---------------------------------------------------------------- the whole run


class Progress:
    def __init__(self, total: int) -> None:
        self.total = total
        self.done = 0
        self.lock = threading.Lock()

    def report(self, outcome: Outcome, job: int) -> None:
        with self.lock:
            self.done += 1
            status = outcome.status
            if status == "survived":
                status = "survived" if outcome.expect == "survive" else "SURVIVED"
            tail = outcome.killed_by or ""
            if outcome.detail and outcome.status != "no-build":
                tail = f"{tail} ({outcome.detail})" if tail else outcome.detail
            if outcome.status == "no-build" and outcome.detail:
                tail = outcome.detail.splitlines()[0]
            width = len(str(self.total))
            print(f"[{self.done:>{width}}/{self.total}] j{job} {status:<9} {outcome.area:<14} {outcome.id:<28} "
                  f"{outcome.seconds:6.1f} s  {tail}", flush=True)


def run_all(trees: list[WorkTree], mutants: list[Mutant], runner: Runner) -> list[Outcome]:
    pending: queue.Queue[Mutant] = queue.Queue()
    for mutant in mutants:
        pending.put(mutant)
    outcomes: dict[str, Outcome] = {}
    progress = Progress(len(mutants))
    lock = threading.Lock()

    def work(job: int, tree: WorkTree) -> None:
        while not runner.stopping.is_set():
            try:
                mutant = pending.get_nowait()
            except queue.Empty:
                return
            outcome = run_mutant(tree, mutant, runner)
            if runner.stopping.is_set():
                return
            with lock:
                outcomes[mutant.id] = outcome
            progress.report(outcome, job)

    threads = [threading.Thread(target=work, args=(j + 1, tree), daemon=True) for j, tree in enumerate(trees)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            while thread.is_alive():
                thread.join(0.5)
    except KeyboardInterrupt:
        print("\ninterrupted: stopping the running suites and restoring the sources", flush=True)
        runner.stop()
        for thread in threads:
            thread.join()
        raise
    return [outcomes[m.id] for m in mutants if m.id in outcomes]


def prepare_trees(args: argparse.Namespace, runner: Runner) -> list[WorkTree]:
    files = wanted_files(args.source_rev, args.suite_rev)
    ninja_jobs = max(1, (os.cpu_count() or 1) // args.jobs)
    roots = [args.work_root / f"work-{j + 1}" for j in range(args.jobs)]
    trees: list[WorkTree | None] = [None] * len(roots)
    errors: list[SetupError] = []

    def set_up(j: int) -> None:
        try:
            tree = prepare_tree(roots[j], files, ninja_jobs)
            print(f"work tree {tree.root}: built {', '.join(m.name for m in tree.modules)}; clean suite run...",
                  flush=True)
            clean = runner.suite(tree, stop_at_first=False)
            if not clean.passed:
                raise SetupError(f"the unmutated suite fails in {tree.root}", clean.output)
            print(f"work tree {tree.root}: clean suite passed in {clean.seconds:.0f} s", flush=True)
            trees[j] = tree
        except SetupError as e:
            errors.append(e)

    threads = [threading.Thread(target=set_up, args=(j,)) for j in range(len(roots))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        error = errors[0]
        print(error.output, file=sys.stderr)
        print(f"mutants: {error}", file=sys.stderr)
        raise SystemExit(2)
    return [t for t in trees if t is not None]


# ---------------------------------------------------------------- reporting


def count_row(outcomes: Iterable[Outcome]) -> dict[str, int]:
    row = {"killed": 0, "survived": 0, "expected-survive": 0, "stale": 0, "no-build": 0}
    for o in outcomes:
        if o.status == "survived" and o.expect == "survive":
            row["expected-survive"] += 1
        else:
            row[o.status] += 1
    return row


def print_table(outcomes: list[Outcome]) -> None:
    columns = ["killed", "survived", "expected-survive", "stale", "no-build"]
    areas = list(dict.fromkeys(o.area for o in outcomes))
    width = max([len("area"), len("total"), *map(len, areas)])
    header = f"{'area':<{width}}  " + "  ".join(f"{c:>{max(len(c), 6)}}" for c in columns) + "   all"
    print(header)
    print("-" * len(header))
    for area in [*areas, "total"]:
        chosen = outcomes if area == "total" else [o for o in outcomes if o.area == area]
        row = count_row(chosen)
        if area == "total":
            print("-" * len(header))
        print(f"{area:<{width}}  " + "  ".join(f"{row[c]:>{max(len(c), 6)}}" for c in columns)
              + f"  {len(chosen):>4}")


def print_summary(outcomes: list[Outcome], seconds: float) -> None:
    print()
    print_table(outcomes)
    unexpected = [o for o in outcomes if o.status == "survived" and o.expect != "survive"]
    expected = [o for o in outcomes if o.status == "survived" and o.expect == "survive"]
    surprising = [o for o in outcomes if o.status == "killed" and o.expect == "survive"]
    broken = [o for o in outcomes if o.status in ("stale", "no-build")]
    if unexpected:
        banner = f" {len(unexpected)} MUTANT(S) SURVIVED: the suite does not catch these faults "
        print(f"\n{banner:=^78}")
        for o in unexpected:
            print(f"  {o.id:<28} {o.file}\n      {o.why}")
        print("=" * 78)
    if expected:
        print(f"\nsurvived as expected (harmless mutants): {', '.join(o.id for o in expected)}")
    if surprising:
        print("\nkilled although marked expect = \"survive\":")
        for o in surprising:
            print(f"  {o.id:<28} by {o.killed_by}")
    if broken:
        print("\nmutants to fix in the list:")
        for o in broken:
            print(f"  {o.status:<9} {o.id}: {(o.detail or '').splitlines()[0] if o.detail else ''}")
            if o.status == "no-build" and o.detail:
                print("\n".join("      " + line for line in o.detail.splitlines()[1:]))
    print(f"\n{len(outcomes)} mutants in {seconds / 60:.1f} min")


def write_report(path: Path, outcomes: list[Outcome], args: argparse.Namespace, seconds: float,
                 started: float) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    report = {
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)),
        "seconds": round(seconds, 1),
        "source_rev": args.source_rev or "working tree",
        "suite_rev": args.suite_rev or "working tree",
        "pytest_args": args.pytest_args,
        "hypothesis_seed": args.hypothesis_seed,
        "jobs": args.jobs,
        "counts": count_row(outcomes),
        "mutants": [asdict(o) for o in outcomes],
    }
    path.write_text(json.dumps(report, indent=2) + "\n")
    print(f"report: {path}")


def compare(old_path: Path, outcomes: list[Outcome]) -> int:
    """Mutants killed in the old report that are not killed now: what the suite lost."""
    old = {m["id"]: m for m in json.loads(old_path.read_text())["mutants"]}
    now = {o.id: o for o in outcomes}
    lost = [(old[i], now[i]) for i in now if i in old and old[i]["status"] == "killed" and now[i].status != "killed"]
    gained = [i for i in now if i in old and old[i]["status"] != "killed" and now[i].status == "killed"]
    print(f"\ncompared with {old_path}: {len([i for i in now if i in old])} mutants in both")
    if gained:
        print(f"  now killed, not before: {', '.join(gained)}")
    if not lost:
        print("  every mutant killed before is still killed")
        return 0
    print(f"  {len(lost)} mutant(s) killed before are not killed now:")
    for before, after in lost:
        print(f"    {after.id:<28} {after.status:<9} (was killed by {before.get('killed_by')})\n        {after.why}")
    return 1


# ---------------------------------------------------------------- command line


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--jobs", type=int, default=1, help="work trees run in parallel (default 1)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these mutants")
    parser.add_argument("--area", nargs="+", metavar="AREA", help="run only the mutants of these areas")
    parser.add_argument("--source-rev", metavar="REV",
                        help="take src/, CMakeLists.txt and third_party/ from this git revision "
                             "(default: the files on disk)")
    parser.add_argument("--suite-rev", metavar="REV",
                        help="take everything else (tests/, examples/, stubs/, pyproject.toml...) from this "
                             "git revision (default: the files on disk)")
    parser.add_argument("--out", type=Path, default=DEFAULT_ROOT / "report.json",
                        help="JSON report (default build/mutants/report.json)")
    parser.add_argument("--compare", type=Path, metavar="OLD.json",
                        help="after the run, list the mutants killed in OLD.json that are not killed now; "
                             "exit status 1 if there is any")
    parser.add_argument("--pytest-args", default="", metavar='"ARGS"',
                        help="extra pytest arguments, e.g. \"--deselect tests/test_leaks.py\"")
    parser.add_argument("--timeout", type=float, default=600, help="seconds per suite run (default 600)")
    parser.add_argument("--hypothesis-seed", default="0", metavar="SEED",
                        help="seed of every Hypothesis test, so that a rerun kills the same mutants "
                             "(default 0; \"random\" leaves Hypothesis its own)")
    parser.add_argument("--mutants", type=Path, default=DEFAULT_MUTANTS, help="the mutant list")
    parser.add_argument("--work-root", type=Path, default=DEFAULT_ROOT, help=argparse.SUPPRESS)
    parser.add_argument("--list", action="store_true", help="list the selected mutants and exit")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.compare and not args.compare.is_file():
        parser.error(f"--compare: no such file {args.compare}")
    args.work_root = args.work_root.resolve()
    return args


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    mutants = select_mutants(load_mutants(args.mutants), args.only, args.area)
    if args.list:
        for m in mutants:
            print(f"{m.id:<28} {m.area:<14} {m.file:<32} {m.why}")
        return 0
    if not VENV_PYTHON.exists():
        raise SystemExit(f"{VENV_PYTHON} is missing: run `make build` first")
    if not mutants:
        raise SystemExit("no mutant selected")
    started = time.time()
    clock = time.monotonic()
    pytest_args = shlex.split(args.pytest_args)
    if args.hypothesis_seed != "random":
        pytest_args.insert(0, f"--hypothesis-seed={args.hypothesis_seed}")
    runner = Runner(pytest_args, args.timeout)
    jobs = min(args.jobs, len(mutants))
    args.jobs = jobs
    trees = prepare_trees(args, runner)
    print(f"{len(mutants)} mutants over {len(trees)} work tree(s)", flush=True)
    outcomes = run_all(trees, mutants, runner)
    seconds = time.monotonic() - clock
    print_summary(outcomes, seconds)
    write_report(args.out, outcomes, args, seconds, started)
    return compare(args.compare, outcomes) if args.compare else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
