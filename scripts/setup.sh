#!/usr/bin/env bash
# Sets up a fresh Debian machine for Tavrin: the system packages it needs
# (apt-get, only where missing), a .venv on CPython 3.12, and the module
# built and installed into it with the test tools. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
# pyodbc loads the ODBC driver manager at import.
ldconfig -p 2>/dev/null | grep -q 'libodbc\.so\.2' || missing+=(unixodbc)
# tabula reads the list PDF with Java.
command -v java >/dev/null 2>&1 || missing+=(default-jre-headless)
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing system packages: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

source scripts/find_python312.sh

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf .venv
    "$(find_python312)" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test]"
echo "Tavrin is installed in .venv ($(.venv/bin/python -c 'import sys; print(sys.version.split()[0])'))"
