#!/usr/bin/env bash
# Installs what the build needs (scripts/setup.sh) and what only the tests
# need: tshark (the frame capture check), clang and its fuzzer runtime, the
# report tests' python3-matplotlib, python3-junitparser, xmllint and
# Chromium (with a CJK font for the page's screenshot), rt-tests for the
# benchmarks, and lintian, man-db and groff for the package and man page
# tests, and ccache and ninja for repeated builds. Run by scripts/test.sh;
# safe to run again.
set -euo pipefail

"$(dirname "$0")/setup.sh" \
  tshark \
  clang libclang-rt-14-dev llvm \
  python3-matplotlib python3-junitparser libxml2-utils chromium fonts-wqy-zenhei \
  rt-tests \
  lintian man-db groff-base \
  ccache ninja-build
