# shellcheck shell=bash disable=SC2034
# SPDX-License-Identifier: MIT
# The tables architectures.txt and releases.txt beside this file, for the release, the set-up, the
# lab and the groups:
# architectures, the Debian names in the table's order; arch_COLUMN[ARCH], each column of ARCH's
# row (arch_machine, the rest of the line, is a command line to split); releases, oldest first,
# codename[RELEASE], and this_release, this machine's, by its major version.
architectures=() releases=()
declare -A codename=() arch_compiler=() arch_multiarch=() arch_musl=() arch_qemu=() arch_oci=() \
    arch_rpm=() arch_musl_in=() arch_kernel_in=() arch_flavour=() arch_runs=() arch_console=() \
    arch_machine=()
read_tables() {
    local table columns=(compiler multiarch musl qemu oci rpm musl_in kernel_in flavour runs
        console machine) fields i release name
    table=$(dirname "${BASH_SOURCE[0]}")
    while read -r -a fields; do
        [[ ${#fields[@]} -gt 1 && ${fields[0]} != "#"* ]] || continue
        architectures+=("${fields[0]}")
        for i in "${!columns[@]}"; do
            declare -n column=arch_${columns[i]}
            column[${fields[0]}]=${fields[i + 1]}
            unset -n column
        done
        arch_machine[${fields[0]}]=${fields[*]:12}
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
