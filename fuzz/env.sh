# Sourced by run-short and run-long: picks the interpreter (FUZZ_PY) and the fuzzing mode
# (FUZZ_MODE: atheris where it installs, else unguided random runs).
#   PYTHON  an interpreter with the package installed; by default the first of
#           build/venv-newest and .venv that has it, else a new build/venv-fuzz with '.[fuzz]'
pick_python() {
    local p
    for p in "${PYTHON:-}" build/venv-newest/bin/python .venv/bin/python; do
        if [ -n "$p" ] && [ -x "$(command -v "$p")" ] && "$p" -c "import tabrix_libs.transformers.exportable" 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    if [ -n "${PYTHON:-}" ]; then
        echo "fuzz: $PYTHON cannot import tabrix_libs" >&2
        return 1
    fi
    python3 -m venv build/venv-fuzz >&2
    build/venv-fuzz/bin/python -m pip install -q --upgrade pip >&2
    build/venv-fuzz/bin/python -m pip install -q '.[fuzz]' >&2
    echo build/venv-fuzz/bin/python
}

FUZZ_PY=$(pick_python)
FUZZ_MODE=${FUZZ_MODE:-atheris}
if [ "$FUZZ_MODE" = atheris ] && ! "$FUZZ_PY" -c "import atheris" 2>/dev/null; then
    # Wheels only: where none fits, atheris would be built from source, needing clang.
    "$FUZZ_PY" -m pip install -q --only-binary=:all: atheris >/dev/null 2>&1 || true
    if ! "$FUZZ_PY" -c "import atheris" 2>/dev/null; then
        echo "fuzz: atheris does not install for $("$FUZZ_PY" -V 2>&1): unguided random runs instead"
        FUZZ_MODE=random
    fi
fi
echo "fuzz: $("$FUZZ_PY" -c 'import sys, numpy, sklearn; print("Python", sys.version.split()[0], "| numpy", numpy.__version__, "| scikit-learn", sklearn.__version__)'), $FUZZ_MODE runs"
