# Shared by the cehost test scripts: checks that count, and two users with
# keys from kestrel-keys, each with a profile. Source it with BIN_DIR set.
set -u
cehost="$bin/cehost"
keys="$bin/kestrel-keys"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0

check() { # check DESCRIPTION EXPECTED_RC ACTUAL_RC
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1 (exit $3, expected $2)"; sed 's/^/    /' out 2>/dev/null
    failures=$((failures + 1))
  fi
}
contains() { # contains DESCRIPTION FILE TEXT
  checks=$((checks + 1))
  if ! grep -qF -- "$3" "$2"; then
    echo "FAIL: $1: '$3' not in:"; sed 's/^/    /' "$2"
    failures=$((failures + 1))
  fi
}
lacks() { # lacks DESCRIPTION FILE TEXT
  checks=$((checks + 1))
  if grep -qF -- "$3" "$2"; then
    echo "FAIL: $1: '$3' in:"; sed 's/^/    /' "$2"
    failures=$((failures + 1))
  fi
}
finish() { # finish NAME
  echo "$1: $checks checks, $failures failed"
  [ "$failures" -eq 0 ]
}

# user NAME NUMBER: keys on NAME/keys, public keys in exchange/, an empty
# public key directory NAME/public, the profile NAME.profile; sets
# <NAME>_enc and <NAME>_sig.
user() {
  mkdir -p "$1/public" exchange
  "$keys" new --device "$1/keys" --number "$2" --public-out exchange > "$1.ids" || exit 1
  local enc sig
  enc=$(sed -n 's/^encode-uid=//p' "$1.ids"); sig=$(sed -n 's/^sign-uid=//p' "$1.ids")
  eval "${1}_enc=$enc ${1}_sig=$sig"
  cat > "$1.profile" <<P
Path to secret = $work/$1/keys
Path to public = $work/$1/public
Key device = $work/$1/keys
Encode UID = $enc
Sign UID = $sig
P
}
cd "$work"
