#!/usr/bin/env bash
# Fails when a C or C++ file under version control strays from .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror
echo "format: every C and C++ file follows .clang-format"
