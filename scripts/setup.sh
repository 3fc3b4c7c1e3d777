#!/usr/bin/env bash
# Sets up a fresh Debian machine for Tavrin: the system packages it needs
# (apt-get, only where missing), a .venv on CPython 3.12, and the module
# built and installed into it with the development and test tools. Safe to
# run again: a second run installs no system package and compiles only what
# changed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Prints the apt packages that are missing, one a line.
missing_packages() {
    # pyodbc loads the ODBC driver manager at import. ldconfig's list is
    # read whole and then searched: piped into `grep -q`, which stops at the
    # first hit, ldconfig could die writing the rest and pipefail would call
    # the library missing. On Debian ldconfig is in /sbin, outside a user's
    # PATH.
    local libraries
    libraries=$(PATH="$PATH:/sbin:/usr/sbin" ldconfig -p 2>/dev/null || true)
    [[ $libraries == *"libodbc.so.2 "* ]] || echo unixodbc
    # tabula reads the list PDF with Java.
    command -v java >/dev/null 2>&1 || echo default-jre-headless
}

# Installs the packages as root, or through sudo where it needs no password;
# otherwise says what to run and stops, rather than wait at a prompt.
install_packages() {
    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
            as_root=(sudo -n)
        else
            echo "Tavrin needs the system packages $*. Install them, then run this again:" >&2
            echo "    sudo apt-get install $*" >&2
            exit 1
        fi
    fi
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "Tavrin needs the system packages $* (Debian names): install them," \
             "then run this again." >&2
        exit 1
    fi
    echo "installing system packages: $*"
    "${as_root[@]}" apt-get update -qq
    # Through env: sudo would drop the variable.
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -gt 0 ]; then
    install_packages "${missing[@]}"
fi

source scripts/find_python312.sh

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf .venv
    "$(find_python312)" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# The module is built the way README.md's development command builds it, in
# build/dev without build isolation, so that running this again or that
# command compiles only what changed. Such a build finds its tools in .venv:
# the dev extra's, which are installed first.
dev_tools=$(.venv/bin/python -c '
import tomllib
with open("pyproject.toml", "rb") as file:
    extra = tomllib.load(file)["project"]["optional-dependencies"]["dev"]
print("\n".join(tool for tool in extra if not tool.startswith("Tavrin[")))')
mapfile -t dev_tools <<<"$dev_tools"
.venv/bin/python -m pip install -q "${dev_tools[@]}"
.venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/dev ".[dev]"
echo "Tavrin is installed in .venv ($(.venv/bin/python -c 'import sys; print(sys.version.split()[0])'))"
