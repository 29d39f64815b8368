#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bytes on the standard streams and the exit status, whatever the probe is given:
# arguments, environment, closed standard input and output.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
expect_done "no arguments" "${run[@]}"
expect_done "a thousand arguments" "${run[@]}" $(seq 1000)
expect_done "option-like arguments" "${run[@]}" --help -h --version -- -
expect_done "empty and non-UTF-8 arguments" "${run[@]}" '' $'\xff\xfe' $'\x80'
expect_done "empty environment" env -i "${run[@]}"
expect_done "standard input closed" "${run[@]}" <&-
expect_done "standard input and output closed" sh -c 'exec "$@" <&- >&-' sh "${run[@]}"
