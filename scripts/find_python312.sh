# Sourced by the scripts that need CPython 3.12 (setup.sh, check_packaging.sh)
# so that they all pick the same interpreter. Defines find_python312, which
# prints the path of a working python3.12 or fails.

find_python312() {
    if command -v python3.12 >/dev/null 2>&1 && python3.12 -c '' 2>/dev/null; then
        command -v python3.12
        return
    fi
    # pyenv's shim runs only with PYENV_VERSION naming an installed 3.12.
    if command -v pyenv >/dev/null 2>&1; then
        local version
        version=$(pyenv versions --bare | grep -E '^3\.12(\.|$)' | tail -n 1)
        if [ -n "$version" ]; then
            PYENV_VERSION="$version" pyenv which python3.12
            return
        fi
    fi
    echo "CPython 3.12 is required: install python3.12 (or a pyenv 3.12)" >&2
    exit 1
}
