#!/usr/bin/env bash
# Builds the sdist and the wheel as a release would and installs each into a
# clean venv. The development install in .venv builds from the work tree, so
# it hides what only a user would meet: a source file left out of the sdist,
# metadata missing from the wheel, a module that does not load outside the
# repository. Writes only under a mktemp folder (and pip's cache), never in
# the repository. Prints one line per check; exits non-zero if any fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python312.sh

python312=$(find_python312)
repo=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# build's, pip's and scikit-build-core's own temporary folders go inside it
# too, so that even an interrupted run leaves nothing behind.
export TMPDIR=$work

# Importing Tavrin runs the whole pipeline. Pointed at a port where nothing
# listens, a stray download is refused at once instead of going out.
export TAVRIN_SEC_BASE_URL=http://127.0.0.1:9
export TAVRIN_OPENFIGI_BASE_URL=http://127.0.0.1:9
# The two compiles of the module (wheel, then sdist install) are most of the
# run time; give them every core.
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CMAKE_BUILD_PARALLEL_LEVEL

passed=0
failures=0
ok() { echo "ok   $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Runs inside each install's venv, in an empty folder, with -I so that only
# the installed copy of Tavrin can be found. Expected values come from
# pyproject.toml so that the check follows the project's own declaration.
read -r -d '' checker <<'PYTHON' || true
import contextlib
import importlib.machinery
import importlib.metadata as metadata
import importlib.util
import io
import os
import sys
import tomllib

label, pyproject = sys.argv[1], sys.argv[2]
with open(pyproject, "rb") as file:
    project = tomllib.load(file)["project"]
failed = False


def report(passed, what):
    global failed
    failed = failed or not passed
    print(f"{'ok  ' if passed else 'FAIL'} {label}: {what}", flush=True)


spec = importlib.util.find_spec("Tavrin")
origin = spec.origin if spec else None
report(origin is not None
       and origin.startswith(sys.prefix + os.sep)
       and origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)),
       f"Tavrin resolves to the installed extension {origin}")

# The writer checks every document against the SEC's schema files, which
# must travel with the module.
schema = [os.path.join(os.path.dirname(origin or ""), "Tavrin-xsd", name)
          for name in ("eis_13FDocument.xsd", "eis_Common.xsd", "eis_stateCodes.xsd",
                       "eis_13F_Filer.xsd")]
report(all(os.path.isfile(path) for path in schema),
       "the EDGAR schema files are installed beside the module")
# Any connection or name look-up is recorded and refused, so the import
# shows whether the pipeline stops before touching the network.
network = []


def no_network(event, args):
    if event in ("socket.connect", "socket.getaddrinfo"):
        network.append(f"{event} {args}")
        raise ConnectionRefusedError(f"{event} is not allowed in this check")


sys.addaudithook(no_network)

folder = os.getcwd()
store = os.path.join(folder, "Store")
printed = io.StringIO()
try:
    with contextlib.redirect_stdout(printed):
        import Tavrin  # noqa: F401
except FileNotFoundError as error:
    report(error.filename == store and "Store" in str(error.strerror),
           f"import in an empty folder raises FileNotFoundError for {error.filename}: "
           f"{error.strerror}")
except BaseException as error:
    report(False, f"import in an empty folder raised {type(error).__name__}: {error}")
else:
    report(False, "import in an empty folder succeeded instead of asking for Store")
report(not network, "the import attempted no network access"
       if not network else f"the import reached for the network: {network}")
left = os.listdir(folder)
report(not left, "the failed import left the working folder empty"
       if not left else f"the failed import left {left} in the working folder")

meta = metadata.metadata("Tavrin")
report(meta["Name"] == project["name"] and meta["Version"] == project["version"],
       f"metadata Name {meta['Name']} Version {meta['Version']}"
       f" (pyproject.toml: {project['name']} {project['version']})")
declared = project["license"]
declared = declared if isinstance(declared, str) else declared.get("text")
found = meta.get("License-Expression") or meta.get("License")
report(found == declared, f"metadata license {found} (pyproject.toml: {declared})")
report(meta["Requires-Python"] == project["requires-python"],
       f"metadata Requires-Python {meta['Requires-Python']}"
       f" (pyproject.toml: {project['requires-python']})")
wanted = sorted(d.replace(" ", "") for d in project["dependencies"])
listed = sorted(d.replace(" ", "") for d in meta.get_all("Requires-Dist") or []
                if "extra ==" not in d)
report(listed == wanted, f"metadata Requires-Dist lists the {len(wanted)} runtime dependencies"
       if listed == wanted else f"metadata Requires-Dist {listed} differs from {wanted}")
licence_files = [f for f in metadata.files("Tavrin") or [] if f.name == "LICENSE"]
text = licence_files[0].read_text() if licence_files else ""
report("MIT License" in text and "The Tavrin developers" in text,
       f"LICENSE installed as {licence_files[0]}" if licence_files else "LICENSE not installed")
sys.exit(1 if failed else 0)
PYTHON

# Build outputs the build could leave in the repository; there must be no
# new ones afterwards (scikit-build-core builds in a temporary folder).
leftovers() { ls -d dist build _skbuild ./*.egg-info 2>/dev/null || true; }
before=$(leftovers)

"$python312" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build >"$work/tools.log" 2>&1 || {
    cat "$work/tools.log"; fail "install build"; exit 1; }
start=$SECONDS
if "$work/tools/bin/python" -m build --sdist --wheel --outdir "$work/dist" . >"$work/build.log" 2>&1; then
    ok "python -m build made $(cd "$work/dist" && echo *) in $((SECONDS - start)) s"
else
    tail -n 40 "$work/build.log"; fail "python -m build"; exit 1
fi
if [ "$(leftovers)" == "$before" ]; then
    ok "the build left no dist, build or egg-info in the repository"
else
    fail "the build left $(leftovers) in the repository"
fi

wheels=("$work"/dist/*.whl)
sdists=("$work"/dist/*.tar.gz)
if [ ${#wheels[@]} -ne 1 ] || [ ${#sdists[@]} -ne 1 ]; then
    fail "expected one wheel and one sdist in $(ls "$work/dist")"; exit 1
fi

# The sdist must carry everything the build needs and none of a developer's
# local clutter: venvs, build trees, caches, compiled objects or the demo's
# downloaded list and results.
members=$(tar tzf "${sdists[0]}")
top=$(basename "${sdists[0]}" .tar.gz)
missing=()
for need in PKG-INFO pyproject.toml CMakeLists.txt README.md LICENSE; do
    grep -qx "$top/$need" <<<"$members" || missing+=("$need")
done
grep -q "^$top/src/.*\.cpp$" <<<"$members" || missing+=("src/*.cpp")
junk=$(grep -E "^$top/(\.venv|venv|build|dist|\.git|_skbuild|[^/]*_cache)/|/__pycache__/|\.(so|o|pyc)$|^$top/examples/demo/(Store|Results)/" <<<"$members" \
    | grep -v '/\.gitkeep$' || true)
if [ ${#missing[@]} -eq 0 ] && [ -z "$junk" ]; then
    ok "sdist holds $(wc -l <<<"$members") entries with the build inputs and no clutter"
else
    fail "sdist lacks [${missing[*]}] or holds [$(echo $junk)]"
fi

# Installs one artefact into a fresh venv (dependencies from the package
# index; the sdist is compiled by pip in an isolated build) and runs the
# checker in an empty folder.
check_install() {
    local label=$1 artefact=$2
    local venv="$work/venv-$label" folder="$work/empty-$label" start=$SECONDS
    "$python312" -m venv "$venv"
    if ! "$venv/bin/python" -m pip install -q "$artefact" >"$work/pip-$label.log" 2>&1; then
        tail -n 40 "$work/pip-$label.log"
        fail "$label: pip install $(basename "$artefact")"
        return
    fi
    ok "$label: pip install $(basename "$artefact") in $((SECONDS - start)) s"
    mkdir "$folder"
    local output status=0
    output=$(cd "$folder" && "$venv/bin/python" -I -c "$checker" "$label" "$repo/pyproject.toml") \
        || status=$?
    echo "$output"
    passed=$((passed + $(grep -c '^ok ' <<<"$output" || true)))
    failures=$((failures + $(grep -c '^FAIL' <<<"$output" || true)))
    # A checker that died before reporting (its traceback is on stderr).
    if [ "$status" -ne 0 ] && ! grep -q '^FAIL' <<<"$output"; then
        fail "$label: the checker exited with status $status"
    fi
}

check_install wheel "${wheels[0]}"
check_install sdist "${sdists[0]}"

# Closing line in the plain "N passed, N failed" form that CI reads.
echo "packaging: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
