#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the wanted version (default 3.13).
# Order: $PYTHON if set, then pythonX.Y on PATH if it runs, then pyenv's install.
set -u
want=${1:-3.13}

runs() {
  "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$want' else 1)" >/dev/null 2>&1
}

if [ -n "${PYTHON:-}" ]; then
  if runs "$PYTHON"; then command -v "$PYTHON"; exit 0; fi
  echo "PYTHON=$PYTHON does not run as CPython $want" >&2
  exit 1
fi

if runs "python$want"; then command -v "python$want"; exit 0; fi

root=${PYENV_ROOT:-}
if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null); fi
[ -n "$root" ] || root=$HOME/.pyenv
for dir in $(ls -d "$root/versions/$want".* "$root/versions/$want" 2>/dev/null | sort -V -r); do
  if runs "$dir/bin/python$want"; then echo "$dir/bin/python$want"; exit 0; fi
done

echo "No CPython $want found: set PYTHON=/path/to/python$want, put python$want on PATH, or install it with pyenv (pyenv install $want)." >&2
exit 1
