#!/usr/bin/env bash
# Signs copies of a small Windows program for the trust tests, with a throw-away PKI made here
# at build time (RSA 2048, SHA-256): nothing signed is ever committed.
# Usage: make_signed_programs.sh PROGRAM OBJDUMP OUTPUT_DIRECTORY TERN_PUBLISH
# OUTPUT_DIRECTORY receives root.pem (the pin), foreign.pem (another root) and the programs
# named in windows_platform_test.cpp. TERN_PUBLISH, a host build of tern-publish, signs the
# releases of product Skyreach as a publisher would (releaseN.exe): no other tool here writes
# their release stamps.
set -euo pipefail

program=$(realpath "$1") objdump=$2 out=$3 publish=$4
rm -rf "$out" && mkdir -p "$out" && cd "$out"
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT

# ca NAME: a self-signed root, and NAME.chain.pem holding it. issue NAME ISSUER EXTENSIONS [DAYS]:
# a certificate for NAME from ISSUER, valid for DAYS (default 3650; -1: expired at once), and
# NAME.chain.pem holding it and the issuer's chain.
ca() {
    openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 -subj "/CN=Tern test $1" \
        -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign \
        -keyout "$work/$1.key" -out "$work/$1.pem" 2>/dev/null
    cp "$work/$1.pem" "$work/$1.chain.pem"
}
issue() {
    openssl req -new -newkey rsa:2048 -sha256 -nodes -subj "/CN=Tern test $1" \
        -keyout "$work/$1.key" -out "$work/$1.csr" 2>/dev/null
    printf '%s\n' "$3" >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.pem" -CAkey "$work/$2.key" -sha256 \
        -days "${4:-3650}" -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.ext" \
        -out "$work/$1.pem" 2>/dev/null
    cat "$work/$1.pem" "$work/$2.chain.pem" >"$work/$1.chain.pem"
}
sign() { # sign SIGNER OUTPUT [DIGEST [CERTIFICATES]]
    osslsigncode sign -certs "${4:-$work/$1.chain.pem}" -key "$work/$1.key" -h "${3:-sha256}" \
        -in "$program" -out "$2" >/dev/null
}
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
put_u32() {
    printf "$(printf '\\%03o' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

signer=$'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
server=$'keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth'
servers_ca=$'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n'
ca root && ca foreign
issue signer root "$signer" && issue stranger foreign "$signer" && issue server root "$server"
issue late root "$signer" -1
# An intermediate for servers alone, issuing a code-signing certificate all the same.
issue servers root "${servers_ca}extendedKeyUsage=serverAuth" && issue restricted servers "$signer"
cp "$work/foreign.pem" foreign.pem
cp "$program" unsigned.exe
sign signer signed.exe
sign stranger foreign_root.exe
sign server wrong_usage.exe
sign restricted restricted_issuer.exe
sign late expired.exe
sign signer sha1_digest.exe sha1
cat "$work/signer.chain.pem" "$work/foreign.pem" >"$work/stray.pem"
sign signer stray_certificate.exe sha256 "$work/stray.pem"
for release in 1 2; do
    "$publish" sign --key "$work/signer.key" --cert "$work/signer.pem" --chain "$work/root.pem" \
        --product Skyreach --release $release "$program" release$release.exe >/dev/null
done
osslsigncode add -addUnauthenticatedBlob -in signed.exe -out unauthenticated_attribute.exe \
    >/dev/null

# One bit of the code, flipped after signing.
cp signed.exe tampered.exe
code=$((0x$("$objdump" -h signed.exe | awk '$2 == ".text" { print $6 }') + 16))
printf "$(printf '\\%03o' $(($(od -An -tu1 -j $code -N1 signed.exe) ^ 1)))" |
    dd of=tampered.exe bs=1 seek=$code conv=notrunc status=none

# The stamp's product name, changed after signing: "skyreach", still a well-formed stamp.
cp release1.exe stamp_changed.exe
name=$(LC_ALL=C grep -obUaP '\x0c\x08Skyreach\x02\x01\x01' release1.exe | cut -d: -f1)
printf 's' | dd of=stamp_changed.exe bs=1 seek=$((name + 2)) conv=notrunc status=none

# Bytes after the certificate, outside the table and, with its directory grown, inside it.
cp signed.exe after_table.exe && printf 'smuggled' >>after_table.exe
cp after_table.exe inside_table.exe
security=$(($(u32 signed.exe 60) + 24 + 128 + 4)) # PE32: the security directory's size
put_u32 inside_table.exe $security $(($(u32 signed.exe $security) + 8))

# Last, since the build takes it for the mark of a complete set.
cp "$work/root.pem" root.pem
