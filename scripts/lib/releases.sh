# The Debian releases the project is built and tested on, and the packages each needs. Sourced.
#
#   release_known NAME                whether NAME is a release we build for
#   release_number NAME               its Debian version (12 for bookworm)
#   release_list                      the known releases, one line
#   release_packages NAME TIER...     the packages of those tiers on that release (from scripts/packages)
#   release_machine                   the codename of the release this machine runs
#   release_sources NAME              the archive lines for NAME, from the archive this machine's apt uses

releases_file="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/packages"

# Supported: bookworm (12) and trixie (13); forky (14, Debian testing) is the canary.
declare -gA release_numbers=([bookworm]=12 [trixie]=13 [forky]=14)

release_list() { echo "bookworm trixie forky"; }
release_known() { [ -n "${1:-}" ] && [ -n "${release_numbers[$1]:-}" ]; }
release_number() { echo "${release_numbers[$1]}"; }

release_packages() {
  local release=$1
  shift
  awk -v release="$release" -v tiers=" $* " '
    /^[ \t]*(#|$)/ { next }
    index(tiers, " " $1 " ") == 0 { next }
    NF == 2 { print $2; next }
    { for (i = 3; i <= NF; i++) if ($i == release) { print $2; next } }' "$releases_file"
}

release_machine() { (. /etc/os-release && echo "${VERSION_CODENAME:-unknown}"); }

# The archive and its security archive, as this machine's apt reaches them (deb822 sources or the one-line form).
release_archive_uris() {
  local files
  files=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null)
  [ -n "$files" ] || return 0
  # shellcheck disable=SC2086
  cat $files 2>/dev/null | awk '
    /^[ \t]*#/ { next }
    /^URIs:/ { for (i = 2; i <= NF; i++) print $i }
    /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
    sed 's:/*$::' | grep -E '/debian(-security)?$' | sort -u
}

# VANTORIX_ARCHIVE (and VANTORIX_SECURITY_ARCHIVE) name another mirror.
release_sources() {
  local release=$1 uris archive security
  uris=$(release_archive_uris)
  archive=${VANTORIX_ARCHIVE:-$(grep -E '/debian$' <<< "$uris" | head -n1)}
  security=${VANTORIX_SECURITY_ARCHIVE:-$(grep -E '/debian-security$' <<< "$uris" | head -n1)}
  [ -n "$archive" ] || { echo "release-root: this machine's apt sources name no Debian archive to make a root from" >&2; return 1; }
  echo "deb $archive $release main"
  # Debian testing has no stable updates; every release has its security archive.
  [ "$release" = forky ] || echo "deb $archive $release-updates main"
  [ -z "$security" ] || echo "deb $security $release-security main"
}
