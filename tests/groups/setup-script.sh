#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tests/setup.sh's choices on each release, with /etc/os-release, dpkg and apt stood in for, so
# that nothing is added or installed: on a release it does not know it changes nothing; it adds
# to dpkg only the architectures the release's archive has; stopped part-way, it removes those it
# added and no other; as in a new root, whose apt has sources but no package lists yet, it still
# finds the mirror that the other release's pieces come from.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need_root && need unshare
unshare -m true 2>/dev/null || skip "no mount namespace here: $(unshare -m true 2>&1)"
# Only these tools and the stand-ins below are on the set-up's PATH: any other command it runs is
# not found, and fails the case, rather than reaching the machine.
mkdir -p "$tmp"/{bin,none,lists/partial}
type -P awk cat dirname find flock grep mkdir sed sleep tail | xargs ln -st "$tmp/bin"
# What it would fetch from the other release goes to a cache of the group's own.
export XDG_CACHE_HOME=$tmp/cache
# Each stand-in logs its call; dpkg keeps the foreign architectures in $t/foreign; apt-cache offers
# every package but those in UNOFFERED; apt-get install exits INSTALL, and apt itself reads the
# sources of a new root, which name a mirror, with no package lists.
stand_in() { printf '#!/bin/bash\nt=%s\necho "%s $*" >>$t/calls\n%s\n' "$tmp" "$@" >"$tmp/bin/$1"; }
stand_in dpkg-query 'exit 1' && printf '#!/bin/sh\necho 0\n' >"$tmp/bin/id"
stand_in dpkg 'case $1 in --print-architecture) echo amd64 ;; --print-f*) cat $t/foreign ;;
--add-architecture) echo "$2" >>$t/foreign ;; --remove-architecture) sed -i "/^$2\$/d" $t/foreign ;;
esac'
stand_in apt-cache 'for p in "${@:2}"; do echo "$p:"
[[ " $UNOFFERED " == *" $p "* ]] && echo "  Candidate: (none)" || echo "  Candidate: 1"; done'
stand_in apt-get 'case $* in install*) exit "$INSTALL" ;; "--print-uris update")
exec /usr/bin/apt-get -o Dir::Etc::SourceList=$t/sources.list -o Dir::Etc::SourceParts=$t/none \
    -o Dir::State::Lists=$t/lists "$@" ;; esac'
mirror=http://mirror.invalid/debian/
printf 'deb %s main\n' "$mirror stable" "${mirror%/}-security/ stable-security" >"$tmp/sources.list"
chmod +x "$tmp"/bin/*

# The stand-in amd64 machine adds to dpkg the architectures whose musl the release's archive has.
musl_in() { for arch in "${architectures[@]}"; do [ "$arch" = amd64 ] ||
    [[ ,${arch_musl_in[$arch]}, != *,$1,* ]] || echo "$arch"; done | xargs; }
# LABEL|ID|VERSION_ID|ARGUMENT|FOREIGN BEFORE|UNOFFERED|INSTALL STATUS|STATUS|FOREIGN AFTER|
# INSTALLS|SAYS. INSTALLS: packages the install must name, !PACKAGE one it must not, - no install
# at all, none no call of dpkg or apt but to read apt's sources. SAYS: what its output must hold;
# the other release's index is looked for on the sources' mirror, where the stand-in has none.
cases="unknown release|debian|99||arm64||0|1|arm64|none|knows Debian 12 and 13
another distribution|ubuntu|24.04||||0|1||none|knows Debian 12 and 13
Debian 12|debian|12||arm64||0|0|$(musl_in 12)|docker.io musl-dev:mipsel g++-riscv64-linux-gnu !musl-dev:riscv64 !docker-cli|no Debian 13 index of riscv64 from $mirror
Debian 12, one package not offered|debian|12||arm64|musl-dev:armhf|0|1|arm64|-|
Debian 13|debian|13||||0|0|$(musl_in 13)|docker-cli g++-mipsel-linux-gnu !musl-dev:mipsel|no Debian 12 index of mipsel from $mirror
Debian 13, apt-get failing|debian|13||i386||100|1|i386|docker-cli musl-dev:arm64|
Debian 13, this machine's only|debian|13|--host|||0|0||docker-cli !musl-dev:arm64|"
while IFS='|' read -r label id version argument before unoffered install status after installs says
do
    printf 'ID=%s\nVERSION_ID="%s"\nPRETTY_NAME="%s"\n' "$id" "$version" "$label" >"$tmp/os-release"
    printf '%s\n' $before >"$tmp/foreign" && : >"$tmp/calls"
    # The release file bound over the machine's in a mount namespace of the case's own.
    UNOFFERED=$unoffered INSTALL=$install unshare -m --propagation private /bin/sh -c 'mount \
        --bind "$0" /etc/os-release && PATH=$1 exec /bin/bash "$2" $3' "$tmp/os-release" \
        "$tmp/bin" "$SOURCE_DIR/tests/setup.sh" "$argument" >"$tmp/out" 2>&1
    result=$?
    [ "$result" = "$status" ] || fail "$label: status $result, not $status: $(tail -3 "$tmp/out")"
    [ "$(sort "$tmp/foreign" | xargs)" = "$(printf '%s\n' $after | sort | xargs)" ] ||
        fail "$label: the foreign architectures then are '$(xargs <"$tmp/foreign")', not '$after'"
    installed=$(grep '^apt-get install ' "$tmp/calls")
    for package in $installs; do
        case $package in
        -) [ -z "$installed" ] || fail "$label: it installed: $installed" ;;
        none) ! grep -vx 'apt-get --print-uris update' "$tmp/calls" | grep . ||
            fail "$label: it ran dpkg or apt" ;;
        !*) [[ "$installed " != *" ${package#!} "* ]] || fail "$label: it installed ${package#!}" ;;
        *) [[ "$installed " == *" $package "* ]] || fail "$label: $package not in: $installed" ;;
        esac
    done
    grep -qF "$says" "$tmp/out" || fail "$label: it did not say '$says': $(cat "$tmp/out")"
done <<<"$cases"
