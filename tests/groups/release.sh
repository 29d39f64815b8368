#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release, made by packaging/release.sh from this build's trees with a throwaway key, checked
# a case a row as its users check it, with docs/releases.md's commands where it gives them: the key
# installed only when it is the one key; apt over file: and HTTP, refusing a changed package,
# another key's signature and none; gpgv and sha256sum on the downloads; podman pulling only under
# a policy that requires the key, added to the user's; rpmkeys on the RPMs as an unprivileged user,
# and each RPM installed and run in a scratch root; each bill of materials naming the musl linked
# in, the binary's digest and the commit; an unsigned release, made into a relative OUTDIR under
# umask 077, the same but for its signatures; a key that cannot sign, an image reference with '..',
# a cached musl not the archive's and an OUTDIR that appears meanwhile stopping it, leaving nothing.
# shellcheck source=SCRIPTDIR/../lib.sh
source "$(dirname "$0")/../lib.sh" "$@"
need apt-get apt-ftparchive gpg gpgv rpmbuild rpmsign rpmkeys rpmlint rpm2cpio cpio \
    skopeo podman docker-registry jq curl setpriv
need_every_build
# In namespaces of its own, every server and gpg-agent it starts ends with it; apt and dpkg log
# to a /var/log of its own, the key goes into an /etc/apt/keyrings of its own, as documented.
own_namespaces
keyring=/etc/apt/keyrings/linux-syslog-syscall.gpg
mount -t tmpfs tmpfs /var/log && mount -t tmpfs tmpfs /etc/apt/keyrings || exit 1
export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache} HOME=$tmp/home GNUPGHOME=$tmp/gnupg
# gpg-agent's sockets go in /run/user/UID where it is there: $tmp may be too long for a socket.
mkdir -p "$HOME/.config/containers/registries.d" "/run/user/$(id -u)" && mkdir -m 700 "$GNUPGHOME"
undo+=("gpgconf --kill all")
echo "%_dbpath $tmp/rpmdb" >"$HOME/.rpmmacros" # rpm's database, for every rpm tool: the group's
# logged COMMAND...: COMMAND's output goes to $tmp/log, shown, and the group stops, if it fails.
logged() { "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }; }

# The keys: the release's, another, one expired, one that can only certify.
mail=linux-syslog-syscall.invalid other=other@linux-syslog-syscall.invalid
while read -r who use ends; do
    logged gpg --batch --passphrase '' --quick-gen-key "$who <$who@$mail>" ed25519 "$use" "$ends"
done < <(printf '%s\n' "expired sign seconds=1" "release sign 1y" "other sign 1y" "certify cert 1y")
wait_until 10 bash -c "gpg --with-colons -k expired@$mail | grep -q '^pub:e:'" 2>/dev/null || exit 1
fingerprint=$(gpg --with-colons -k release@$mail 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }')

# The release's directory is served over HTTP, and the image pushed to a registry, on 127.0.0.1.
www=$tmp/www signed=$tmp/www/signed unsigned=$tmp/www/unsigned
mkdir "$www" "$tmp/none"
"$python" -u -m http.server --bind 127.0.0.1 --directory "$www" 0 >"$tmp/http.log" 2>&1 &
undo+=("kill $!")
wait_until 10 grep -qs 'port [0-9]' "$tmp/http.log" || { cat "$tmp/http.log"; exit 1; }
http=http://127.0.0.1:$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$tmp/http.log")
start_registry
repository=$registry/linux-syslog-syscall kept=$registry/kept:$VERSION
reference=$repository:$VERSION

release() { "$SOURCE_DIR/packaging/release.sh" --build "$BUILD_DIR" "$@"; }
start=$SECONDS && logged release --key "$fingerprint" --image "$repository" "$signed"
# Where the musl of an architecture comes from the cache, the release says it checked it.
echo "signed release: $(tail -1 "$tmp/log")"; grep "as Debian [0-9]*'s archive offers it" "$tmp/log"
# The unsigned one into a relative OUTDIR, under a umask that would keep it from its readers.
(cd "$www" && umask 077 && logged release --image "$repository" unsigned) || exit 1
echo "unsigned release: $(grep -v UNSIGNED "$tmp/log" | tail -1); both in $((SECONDS - start)) s"
grep -q '^release: UNSIGNED: no --key was given' "$tmp/log" ||
    fail "the unsigned release does not say so: $(cat "$tmp/log")"

# Made from them: the unsigned release signed by the other key, throughout; the signed one with
# one byte of this machine's package changed; its SHA256SUMS with one digest changed; its key file
# with the other key in it too.
cp -a "$unsigned" "$www/forged" && cd "$www/forged" || exit 1
forge() { gpg --batch --yes --local-user "$other" "$@"; }
forge --clearsign -o dists/stable/InRelease dists/stable/Release
forge --detach-sign -o dists/stable/Release.gpg dists/stable/Release
logged rpmsign --define "__gpg $(command -v gpg)" --define "_gpg_path $GNUPGHOME" \
    --define "_gpg_name $other" --addsign rpm/*.rpm </dev/null
tar=$(echo image/*.tar)
for signature in $(cd "$signed" && echo image/sigstore/*/signature-1); do
    digest=${signature%/*} && mkdir -p "$digest"
    skopeo standalone-sign <(tar -xOf "$tar" "./blobs/sha256/${digest##*@sha256=}") "$reference" \
        "$other" -o "$signature"
done
cut -d' ' -f3- SHA256SUMS | xargs -d '\n' sha256sum -- >"$tmp/sums" && mv "$tmp/sums" SHA256SUMS &&
    forge --armor --detach-sign SHA256SUMS
cd "$tmp" && cp -a "$signed" "$www/changed" || exit 1
deb=pool/main/linux-syslog-syscall_${VERSION}_$ARCH.deb
printf '\377' | dd of="$www/changed/$deb" bs=1 seek=4000 conv=notrunc status=none
mkdir "$tmp/relisted" && cp "$signed"/SHA256SUMS* "$tmp/relisted/"
sed -i '1s/^0/1/;t;1s/^./0/' "$tmp/relisted/SHA256SUMS"
mkdir "$www/two-keys" && cat "$signed/signing-key.gpg" >"$www/two-keys/signing-key.gpg" &&
    gpg --batch --export "$other" >>"$www/two-keys/signing-key.gpg" || exit 1

# release_refused ARG...: a release into $tmp/refused that fails, adding nothing to $tmp or $www.
release_refused() {
    local before status=0 left
    before=$(ls -A "$tmp" "$www")
    release "$@" "$tmp/refused" || status=$?
    left=$(diff <(echo "$before") <(ls -A "$tmp" "$www") | sed -n 's/^> //p')
    [ -z "$left" ] || { echo "left behind: $left"; return 99; }
    return $status
}
# cached_musl_changed: a signed release from a cache whose copy of the first musl this Debian
# release lacks has a libc.a one byte longer; its lists, copied, and packages are the cache's own.
cached_musl_changed() {
    local arch cache=$tmp/cache/linux-syslog-syscall real=$XDG_CACHE_HOME/linux-syslog-syscall
    arch=$(for arch in "${architectures[@]}"; do
        [ "$(release_of "$arch" musl)" = "$this_release" ] || echo "$arch"; done | head -1)
    [ -n "$arch" ] && [ -f "$real/musl/$arch/built-using" ] ||
        { echo "no architecture links the cache's musl here"; return 98; }
    rm -rf "$tmp/cache" && mkdir -p "$cache/musl" && cp -a "$real/musl/$arch" "$cache/musl/" &&
        cp -a "$real/apt" "$cache/" && ln -s "$real"/musl*_"$arch".deb "$cache/" &&
        echo >>"$cache/musl/$arch/usr/lib/${arch_musl[$arch]}/libc.a" || return 98
    XDG_CACHE_HOME=$tmp/cache release_refused --key "$fingerprint" --image "$repository"
}
# appearing: a release during which its OUTDIR appears, an empty directory, once its work has
# begun; that must be left as it was, with nothing beside it.
appearing() {
    local status=0 && mkdir "$tmp/race" || return 98
    release --image "$repository" "$tmp/race/release" &
    wait_until 60 compgen -G "$tmp/race/.release.*" >/dev/null && mkdir "$tmp/race/release"
    wait $! || status=$?
    [ -d "$tmp/race/release" ] && [ -z "$(ls -A "$tmp/race/release")" ] &&
        [ "$(ls -A "$tmp/race")" = release ] ||
        { echo "not as it was: $(ls -lAR "$tmp/race" 2>&1)"; return 99; }
    return $status
}
# modes DIR: every file in DIR is 0644, every directory 0755.
modes() { ! find "$1" \( -type d ! -perm 0755 \) -o \( ! -type d ! -perm 0644 \) -printf '%m %p\n' |
    grep . && echo "files 0644, directories 0755"; }
# documented START [URL]: the command block of docs/releases.md whose first line starts with START,
# for URL (the signed release's by default), the release's key and the group's registry.
documented() {
    awk -v start="    $1" -v url="${2:-$http/signed}" -v key="$fingerprint" -v reg="$registry" '
        index($0, start) == 1 { on = 1 } on && !/^    / { exit }
        on { gsub(/URL/, url); gsub(/FINGERPRINT/, key); gsub(/REGISTRY/, reg)
            print substr($0, 5) }' "$SOURCE_DIR/docs/releases.md" | grep . ||
        echo "echo \"docs/releases.md has no block that starts with '$1'\"; false"
}
# key_install URL: the key at URL/signing-key.gpg, fetched, checked and installed as
# docs/releases.md does it; nothing may be installed where the check fails.
key_install() {
    local status=0 && rm -f "$keyring"
    # shellcheck disable=SC2016 # the block's first line, as written
    bash -c "sudo() { \"\$@\"; }
$(documented 'is_release_key() {')
$(documented 'key=$(mktemp)' "$1")" || status=$?
    [ $status -eq 0 ] || [ ! -e "$keyring" ] || { echo "installed all the same"; return 99; }
    [ $status -ne 0 ] || gpg --show-keys --with-colons "$keyring" |
        awk -F: '$1 == "fpr" { print "installed:", $10; found = 1; exit } END { exit !found }' ||
        { echo "not installed"; return 99; }
    return $status
}
# apt_install URI [KEY-URL]: apt in a scratch root, by docs/releases.md's .sources file for URI and
# the key it installs (KEY-URL's or the signed release's), installs the probe, which runs exactly.
apt_install() {
    local root=$tmp/root-${1//[^a-z0-9]/-}
    mkdir -p "$root"/etc/apt/{apt.conf.d,preferences.d,sources.list.d} "$root"/var/log/apt \
        "$root"/var/{lib/{dpkg,apt/lists/partial},cache/apt/archives/partial} &&
        : >"$root/var/lib/dpkg/status"
    printf '%s\n' "Dir \"$root/\";" "Dir::State::status \"$root/var/lib/dpkg/status\";" \
        'APT::Sandbox::User "root";' 'Debug::NoLocking "true";' \
        "DPkg::Options { \"--root=$root\"; \"--log=$root/var/log/dpkg.log\"; };" >"$root/apt.conf"
    key_install "${2:-$http/signed}" >"$tmp/key" 2>&1 || { cat "$tmp/key"; return 98; }
    documented 'Types: deb' "$1" >"$root/etc/apt/sources.list.d/linux-syslog-syscall.sources"
    local -x APT_CONFIG=$root/apt.conf DEBIAN_FRONTEND=noninteractive
    apt-get update && apt-get install -y linux-syslog-syscall || return
    expect_done "installed by apt from $1" "$root/usr/bin/linux-syslog-syscall"
}
# sums DIR: gpgv checks DIR's SHA256SUMS with the release's key, then sha256sum every file.
sums() { cd "$1" && gpgv --keyring "$keyring" SHA256SUMS.asc SHA256SUMS &&
    sha256sum --check --strict --quiet SHA256SUMS; }
# pull RELEASE [REFERENCE]: podman, under a policy that requires the release's key, pulls the image
# from the registry, its signatures looked up in RELEASE over HTTP. The image is there too as
# REGISTRY/kept, which the user's policy rejected before the release's entry was added to it.
for name in "$reference" "$kept"; do
    skopeo --insecure-policy --registries.d "$tmp/none" copy -q --all --dest-tls-verify=false \
        "oci-archive:$signed/$tar" "docker://$name" >"$tmp/log" 2>&1 ||
        { cat "$tmp/log" "$tmp/registry.log"; exit 1; }
done
jq -n --arg kept "${kept%:*}" '{default: [{type: "insecureAcceptAnything"}],
    transports: {docker: {($kept): [{type: "reject"}]}}}' >"$HOME/.config/containers/policy.json"
bash -c "$(documented 'policy=~/.config/containers/policy.json')" || exit 1
podman_store
pull() {
    documented docker: "$http/$1" >"$HOME/.config/containers/registries.d/linux-syslog-syscall.yaml"
    group_podman pull -q --tls-verify=false "${2:-$reference}" &&
        group_podman image rm -f "${2:-$reference}" >/dev/null
}
# rpmlint checks each signature against rpm's database: the group's, with the release's key.
rpmkeys --import "$signed/signing-key.asc" || exit 1
lint() { rpmlint -c "$SOURCE_DIR/packaging/rpmlint.toml" "$signed"/rpm/*.rpm; }
# rpm_check RELEASE: user 65534 downloads RELEASE's RPMs over HTTP into a directory of its own,
# in the group's own /run ($tmp lies in the directory of the group's first run, which only root may
# enter), and checks them as docs/releases.md does, with the signed release's key, each one.
rpm_check() {
    local rpms user=/run/user-65534
    rpms=$(cd "$www/$1/rpm" && printf "$http/$1/rpm/%s " *.rpm)
    rm -rf "$user" && mkdir -p "$user/rpm" && chown -R 65534:65534 "$user" || return 98
    (cd "$user" && setpriv --reuid=65534 --regid=65534 --clear-groups env -u GNUPGHOME \
        HOME="$user" TMPDIR="$user" bash -c "(cd rpm && curl -fsS --remote-name-all $rpms) &&
$(documented 'is_release_key() {')
$(documented 'curl -fsSLo signing-key.asc' | sed 's|rpm/[^ ]*\.rpm$|rpm/*.rpm|')")
}
# rpm_installs: each architecture's RPM, checked at _pkgverify_level all, installs into an empty
# root of its own, where the binary runs exactly (through qemu-user for the others).
rpm_installs() {
    local arch db run
    for arch in "${architectures[@]}"; do
        db=(--root "$tmp/rpmroot-$arch" --dbpath /var/lib/rpm) run=("qemu-${arch_qemu[$arch]}")
        [ "$arch" != "$ARCH" ] || run=()
        rpm "${db[@]}" --initdb && rpmkeys "${db[@]}" --import "$signed/signing-key.asc" &&
            rpm "${db[@]}" --define '_pkgverify_level all' --ignorearch -i \
                "$signed/rpm/linux-syslog-syscall-$VERSION-1.${arch_rpm[$arch]}.rpm" || return
        expect_done "$arch: installed by rpm" "${run[@]}" \
            "$tmp/rpmroot-$arch/usr/bin/linux-syslog-syscall"
    done
    echo "installed: ${architectures[*]}"
}
# boms: each architecture's two documents name the musl its build linked (the package that owns
# the libc.a its tree names, or the copy the set-up unpacked), the digest of the binary that its
# .deb, .rpm and tarball carry, and the source's commit where it is a git checkout of its own.
# in_boms BASE SPDX-FILTER CDX-FILTER VALUE: both documents at BASE.* give VALUE.
in_boms() { [ "$(jq -r "$2" "$1.spdx.json")" = "$4" ] && [ "$(jq -r "$3" "$1.cdx.json")" = "$4" ]; }
boms() {
    local arch tree libdir linked base carrier digest commit='' top said uid n=linux-syslog-syscall
    top=$(git -C "$SOURCE_DIR" rev-parse --show-toplevel 2>/dev/null) &&
        [ "$top" -ef "$SOURCE_DIR" ] && commit=$(git -C "$SOURCE_DIR" rev-parse HEAD)
    for arch in "${architectures[@]}"; do
        tree=$BUILD_DIR/foreign/$arch base=$signed/sbom/$n-$VERSION-linux-$arch
        [ "$arch" != "$ARCH" ] || tree=$BUILD_DIR
        libdir=$(sed -n 's/^LINUX_SYSLOG_SYSCALL_MUSL_LIBDIR:PATH=//p' "$tree/CMakeCache.txt")
        linked=$(dpkg-query -S "$libdir/libc.a" >/dev/null 2>&1 &&
            dpkg-query -W -f='${source:Version}' "musl-dev:$arch" ||
            sed -n 's/^musl (= \(.*\))$/\1/p' "${libdir%/usr/lib/*}/built-using")
        [ -n "$linked" ] && in_boms "$base" '.packages[] | select(.name == "musl").versionInfo' \
            '.components[] | select(.name == "musl").version' "$linked" ||
            { echo "$arch: not musl $linked: $base.*"; return 1; }
        said=$(jq -r '.packages[0].sourceInfo' "$base.spdx.json")
        uid=$(jq -r '.metadata.component.pedigree.commits[0].uid // "none"' "$base.cdx.json")
        if [ -n "$commit" ]; then
            [[ $said == "built from git commit $commit"* ]] && [ "$uid" = "$commit" ]
        else
            [ "$said" = "not built from a git checkout: no commit is known" ] && [ "$uid" = none ]
        fi || { echo "$arch: not the commit ${commit:-none}: '$said', $uid"; return 1; }
        for carrier in deb rpm tar; do
            case $carrier in
            deb) dpkg-deb --fsys-tarfile "$signed/pool/main/${n}_${VERSION}_$arch.deb" |
                tar -xO ./usr/bin/$n ;;
            rpm) rpm2cpio "$signed/rpm/$n-$VERSION-1.${arch_rpm[$arch]}.rpm" |
                cpio -i --quiet --to-stdout ./usr/bin/$n ;;
            tar) tar -xzOf "$signed/tar/$n-$VERSION-linux-$arch.tar.gz" \
                "$n-$VERSION-linux-$arch/usr/bin/$n" ;;
            esac >"$tmp/binary" || return
            digest=$(sha256sum <"$tmp/binary" | cut -d' ' -f1)
            [ -s "$tmp/binary" ] && in_boms "$base" \
                '.files[0].checksums[] | select(.algorithm == "SHA256").checksumValue' \
                '.metadata.component.hashes[0].content' "$digest" ||
                { echo "$arch: not the digest in the $carrier"; return 1; }
        done
    done
    echo "musl, digests and commit (${commit:-none}) as built: ${architectures[*]}"
}
# same_but_signatures: the unsigned release is the signed one less its signatures and public key,
# the same to the byte, but for an RPM, which carries its signature: the same header and payload.
digests() { rpm -qp --nosignature --qf '%{SHA256HEADER} %{PAYLOADDIGEST}' "$1"; }
same_but_signatures() {
    local file signatures='SHA256SUMS\.asc|signing-key\..*|dists/stable/(InRelease|Release\.gpg)'
    diff <(cd "$unsigned" && find . -type f | sort) <(cd "$signed" && find . -type f |
        grep -Ev "^\./($signatures|image/sigstore/.*)\$" | sort) || return
    while read -r file; do
        case $file in
        *.rpm) [ "$(digests "$unsigned/$file")" = "$(digests "$signed/$file")" ] ;;
        ./SHA256SUMS) ! grep -v '\.rpm$' "$unsigned/$file" | grep -vxFf "$signed/$file" ;;
        *) cmp "$unsigned/$file" "$signed/$file" ;;
        esac || { echo "differ: $file"; return 1; }
    done < <(cd "$unsigned" && find . -type f)
    echo "the same but for the signatures"
}

# LABEL|STATUS|OUTPUT|COMMAND: COMMAND, run in $tmp, exits with STATUS, and its output (both
# streams) holds OUTPUT, an extended regular expression that may hold '|': each refusal its own.
cases="missing key|1|no secret key 'nobody@|release_refused --key nobody@$mail
expired key|1|the key [0-9A-F]{40} expired on|release_refused --key expired@$mail
key that cannot sign|1|cannot sign \(its capabilities: cC\)|release_refused --key certify@$mail
release directory there already|1|signed exists: a release goes into a new directory|release $signed
image reference with '..'|1|--image example.com/../../../../escaped: not a repository|\
release_refused --image example.com/../../../../escaped
release directory appearing meanwhile|1|release appeared while the release was made|appearing
cached musl not the archive's|1|differs from musl \(= [^)]+\) as Debian [0-9]+'s archive offers \
it, in: usr/lib/[a-z0-9_-]+/libc\.a;|cached_musl_changed
key file with two keys|1|not the key $fingerprint alone: $fingerprint [0-9A-F]{40}$|key_install \
$http/two-keys
key as documented|0|installed: $fingerprint|key_install $http/signed
apt from file:|0|Setting up linux-syslog-syscall|apt_install file:$signed file://$signed
apt over HTTP|0|Setting up linux-syslog-syscall|apt_install $http/signed
apt, a changed package|100|Hash Sum mismatch|apt_install file:$www/changed
apt, another key's Release|100|NO_PUBKEY [0-9A-F]{16}|Missing key [0-9A-F]{40}, which|apt_install \
$http/forged
apt, an unsigned Release|100|stable Release' is not signed|apt_install $http/unsigned
gpgv and sha256sum|0|Good signature from \"release <|sums $signed
gpgv, another key's signature|2|Can't check signature: No public key|sums $www/forged
gpgv, a changed SHA256SUMS|1|BAD signature from \"release <|sums $tmp/relisted
sha256sum, a changed package|1|$deb: FAILED|sums $www/changed
podman pull, signed|0|^[0-9a-f]{64}$|pull signed
podman pull, unsigned|125|A signature was required, but no signature exists|pull unsigned
podman pull, another key's signature|125|Invalid GPG signature|pull forged
podman pull, the user's own entry kept|125|kept:$VERSION is rejected by policy|pull signed $kept
rpmkeys, signed|0|EdDSA/SHA(256|512) Signature, key ID [0-9a-f]{8}: OK|rpm_check signed
rpmkeys, unsigned|10|Header RSA signature: NOTFOUND|rpm_check unsigned
rpmkeys, another key's signature|10|Signature, key ID [0-9a-f]{8}: NOKEY|rpm_check forged
rpm installs each architecture's|0|installed: ${architectures[*]}|rpm_installs
unsigned release's modes, made under umask 077|0|files 0644, directories 0755|modes $unsigned
rpmlint, with packaging/rpmlint.toml|0|0 errors, 0 warnings|lint
bills of materials|0|musl, digests and commit \(([0-9a-f]{40}|none)\) as built|boms
reproducible|0|the same but for the signatures|same_but_signatures"
while IFS='|' read -r label status row; do
    command=${row##*|} output=${row%|*}
    eval "$command" >"$tmp/said" 2>&1
    result=$?
    cd "$tmp" || exit 1
    said=$(grep -m1 -E -- "$output" "$tmp/said") && [ "$result" = "$status" ] &&
        echo "$label: $result: $said" || fail "$label: status $result (not $status), output not" \
        "matching '$output': $(tail -5 "$tmp/said")"
done <<<"$cases"
