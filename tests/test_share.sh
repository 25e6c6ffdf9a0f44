#!/bin/sh
# Keeps the tests in proportion to the program: C++ lines that are neither
# blank nor only a comment, tests/ against the program's folders.
cd "$(dirname "$0")/.." || exit 1
count() {
    find "$@" -name '*.cpp' -o -name '*.h' | xargs cat | grep -cvE '^[[:space:]]*(//.*)?$'
}
program=$(count sound desktop recorder about app bench)
tests=$(count tests)
share=$((100 * tests / program))
echo "C++ lines: program $program, tests $tests: tests at $share% of the program (25-35% wanted)"
[ "$share" -ge 25 ] && [ "$share" -le 35 ]
