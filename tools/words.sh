# Shell helpers for writing 3do files by hand; source this file.

# Writes each argument as a 32-bit little-endian word; four-character codes
# may be given by name.
words() {
  local w
  for w in "$@"; do
    case $w in
      MAGIC) w=0x33444F34 ;; HAND) w=0x48414E44 ;; NORM) w=0x4E4F524D ;;
      PLAN) w=0x504C414E ;; PRIM) w=0x5052494D ;; STRN) w=0x5354524E ;;
      XYZS) w=0x58595A53 ;; JUNK) w=0x4A554E4B ;;
    esac
    w=$((w & 0xFFFFFFFF))
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((w & 255)) $((w >> 8 & 255)) \
      $((w >> 16 & 255)) $((w >> 24 & 255)))"
  done
}

