#!/usr/bin/env bash
# What an administrator can check in the zip before trusting it, without Wine:
#   - SHA256SUMS lists every other file of the package once, each hash right;
#   - no private key travels in it;
#   - driver/teldo.sys carries two signatures that verify against the
#     package's own certificate and no other: SHA-1 first, SHA-256 nested,
#     both with page hashes, and a correct PE checksum;
#   - the signed driver still passes the build's binary check.
# Usage: package_files_check.sh ZIP WORK_DIR BINARY_CHECK_COMMAND...
set -euo pipefail
zip=$(realpath "${1:?usage: package_files_check.sh ZIP WORK_DIR CHECK...}")
work=${2:?}
shift 2
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cmake -E tar xf "$zip")
package=$work/$(basename "$zip" .zip)
problems=()

# The sums, and that they cover exactly the package's files.
if ! (cd "$package" && sha256sum --quiet --strict -c SHA256SUMS); then
  problems+=("SHA256SUMS does not match the files")
fi
listed=$(tr -d '\r' <"$package/SHA256SUMS" | sed 's/^[0-9a-f]* \*//' | sort)
present=$(cd "$package" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)
[ "$listed" = "$present" ] || problems+=("SHA256SUMS does not list exactly the package's files")
if grep -rlq "PRIVATE KEY" "$package"; then
  problems+=("a private key is in the package: $(grep -rl 'PRIVATE KEY' "$package" | xargs)")
fi

driver=$package/driver/teldo.sys
certificate=$work/shipped.pem
openssl x509 -inform der -in "$package/driver/TELDO-test-signing.cer" -out "$certificate"
report=$(osslsigncode verify -CAfile "$certificate" -in "$driver" 2>&1) ||
  problems+=("teldo.sys does not verify against the shipped certificate")
# The last word of each line of the report that starts with $1, in order.
algorithms() { { grep -E "^$1" <<<"$report" || true; } | awk '{print $NF}' | xargs; }
digests=$(algorithms 'Message digest algorithm  :')
[ "$digests" = "SHA1 SHA256" ] || problems+=("signature digests are '$digests', not SHA1 then SHA256")
pages=$(algorithms 'Page hash algorithm  :')
[ "$pages" = "SHA1 SHA256" ] || problems+=("page hashes are '$pages', not SHA1 and SHA256")
grep -q '^Number of verified signatures: 2$' <<<"$report" || problems+=("not two verified signatures")
# osslsigncode 2.5 (Debian 12's) prints the current and the calculated
# checksum; later versions print one, marked MISMATCH when they differ.
current=$(sed -n 's/^Current PE checksum *: *\([0-9A-F]*\)$/\1/p' <<<"$report")
calculated=$(sed -n 's/^Calculated PE checksum *: *\([0-9A-F]*\)$/\1/p' <<<"$report")
if [ -n "$current" ]; then
  [ "$current" = "$calculated" ] || problems+=("wrong PE checksum: $current, not $calculated")
else
  grep -qE '^PE checksum +: [0-9A-F]{8}$' <<<"$report" ||
    problems+=("wrong PE checksum: $(grep 'PE checksum' <<<"$report" || true)")
fi
# The signer is the certificate shipped beside the driver.
signer=none
if osslsigncode extract-signature -pem -in "$driver" -out "$work/signature.p7" >/dev/null 2>&1; then
  signer=$(openssl pkcs7 -inform pem -in "$work/signature.p7" -print_certs |
           openssl x509 -noout -fingerprint -sha256) || signer=unreadable
fi
shipped=$(openssl x509 -in "$certificate" -noout -fingerprint -sha256)
[ "$signer" = "$shipped" ] || problems+=("signer: $signer, but the package ships $shipped")

"$@" "$driver" || problems+=("the signed driver fails the binary check")

if [ ${#problems[@]} -gt 0 ]; then
  printf '%s\n' "${problems[@]}" >&2
  exit 1
fi
echo "The package's sums, signatures and certificate hold"
rm -rf "$work"
