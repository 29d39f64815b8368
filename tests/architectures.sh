# shellcheck shell=bash disable=SC2034
# SPDX-License-Identifier: MIT
# The architectures and releases of cmake/architectures.txt and cmake/releases.txt, for the set-up,
# the lab and the groups that need them: architectures, the Debian names in the table's order;
# arch_COLUMN[ARCH], each column of ARCH's row (arch_machine is a command line, to split); releases,
# oldest first, codename[RELEASE], and this_release, this machine's, by its major version.
architectures=()
declare -A arch_compiler=() arch_multiarch=() arch_musl=() arch_qemu=() arch_oci=() arch_musl_in=() \
    arch_kernel_in=() arch_flavour=() arch_runs=() arch_console=() arch_machine=()
releases=()
declare -A codename=()
read_tables() {
    local table debian compiler multiarch musl qemu oci musl_in kernel_in flavour runs console \
        machine release name
    table=$(dirname "${BASH_SOURCE[0]}")/../cmake
    while read -r debian compiler multiarch musl qemu oci musl_in kernel_in flavour runs console \
        machine; do
        [[ -n $debian && $debian != "#"* ]] || continue
        architectures+=("$debian")
        arch_compiler[$debian]=$compiler arch_multiarch[$debian]=$multiarch
        arch_musl[$debian]=$musl arch_qemu[$debian]=$qemu arch_oci[$debian]=$oci
        arch_musl_in[$debian]=$musl_in arch_kernel_in[$debian]=$kernel_in
        arch_flavour[$debian]=$flavour arch_runs[$debian]=$runs arch_console[$debian]=$console
        arch_machine[$debian]=$machine
    done <"$table/architectures.txt"
    while read -r release name; do
        [[ -n $release && $release != "#"* ]] || continue
        releases+=("$release")
        codename[$release]=$name
    done <"$table/releases.txt"
}
read_tables
# shellcheck source=/dev/null
this_release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_ID%%.*}") || true

# release_of ARCH musl|kernel: the release whose packages give ARCH's musl or kernel: this
# machine's, where its archive has it, or else the first that does.
release_of() {
    local list
    [ "$2" = musl ] && list=${arch_musl_in[$1]:-} || list=${arch_kernel_in[$1]:-}
    [[ ,$list, == *",$this_release,"* ]] && echo "$this_release" || echo "${list%%,*}"
}
