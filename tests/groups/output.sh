#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bytes on the standard streams and the exit status, whatever the probe is given:
# arguments, environment, closed standard input and output.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
expect_done "no arguments" "${probe_command[@]}"
expect_done "a thousand arguments" "${probe_command[@]}" $(seq 1000)
expect_done "option-like arguments" "${probe_command[@]}" --help -h --version -- -
expect_done "empty and non-UTF-8 arguments" "${probe_command[@]}" '' $'\xff\xfe' $'\x80'
expect_done "empty environment" env -i "${probe_command[@]}"
expect_done "standard input closed" "${probe_command[@]}" <&-
expect_done "standard input and output closed" sh -c 'exec "$@" <&- >&-' sh "${probe_command[@]}"
