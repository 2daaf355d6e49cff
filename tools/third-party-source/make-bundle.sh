#!/usr/bin/env bash
# Builds the third-party licence and source archive served as
# /third-party-source.tar.gz:
#
#   third-party-source/SOURCES.md                 versions and where to get each source
#   third-party-source/licences/<component>/copyright
#                                                 the Debian package's copyright file, verbatim
#   third-party-source/licences/common/<name>     full texts those files refer to
#
# The licence texts are copied from the installed Debian packages, never
# retyped. The archive is reproducible: same packages, same bytes (sorted
# names, zero times and owners, normalised modes, gzip without a time stamp).
#
# Usage: make-bundle.sh OUTPUT.tar.gz
set -euo pipefail
export LC_ALL=C

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTPUT.tar.gz" >&2
  exit 2
fi
output=$1
top=third-party-source
common_licences=/usr/share/common-licenses

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging/$top/licences"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" &&
    [ -f "/usr/share/doc/$1/copyright" ]
}

field() {  # field PACKAGE FORMAT
  dpkg-query -W -f="$2" "$1"
}

# component|required|packages (first installed wins)|licence|upstream project|upstream source
components=(
  "sqlite3|yes|libsqlite3-dev libsqlite3-0|Public domain|https://www.sqlite.org/|https://www.sqlite.org/download.html (all releases: https://www.sqlite.org/chronology.html)"
  "openssl|yes|libssl-dev libssl3|Apache License 2.0|https://www.openssl.org/|https://www.openssl.org/source/ and https://github.com/openssl/openssl/releases"
  "nlohmann-json|yes|nlohmann-json3-dev|MIT|https://github.com/nlohmann/json|https://github.com/nlohmann/json/releases"
  "tcl|no|tcl8.6 libtcl8.6|Tcl/Tk licence (BSD-style)|https://www.tcl-lang.org/|https://www.tcl-lang.org/software/tcltk/download.html"
  "tk|no|tk8.6 libtk8.6|Tcl/Tk licence (BSD-style)|https://www.tcl-lang.org/|https://www.tcl-lang.org/software/tcltk/download.html"
  "googletest|yes|libgtest-dev googletest|BSD 3-Clause|https://github.com/google/googletest|https://github.com/google/googletest/releases"
)

sources=$staging/$top/SOURCES.md
{
  echo "# Third-party components: versions and source code"
  echo
  echo "Halvenor Mass Communication is built with the components below. Each is"
  echo "used under its own licence; the complete licence texts are in the"
  echo "\`licences\` folder of this archive, copied verbatim from the Debian"
  echo "packages the build used (\`licences/<component>/copyright\`). Texts those"
  echo "files refer to by path are in \`licences/common\`."
  echo
  echo "The source code of every component is available from its upstream"
  echo "project and, for the exact version built here, from the Debian archive:"
  echo "\`apt-get source <source package>=<version>\` or the snapshot address given."
  echo "Components marked as test-only are used to test the product and are not"
  echo "shipped with it."
} >"$sources"

for entry in "${components[@]}"; do
  IFS='|' read -r name required packages licence project upstream <<<"$entry"
  package=""
  for candidate in $packages; do
    if installed "$candidate"; then package=$candidate; break; fi
  done
  if [ -z "$package" ]; then
    if [ "$required" = yes ]; then
      echo "$0: none of [$packages] is installed; cannot copy the $name licence" >&2
      exit 1
    fi
    continue
  fi
  mkdir -p "$staging/$top/licences/$name"
  cp "/usr/share/doc/$package/copyright" "$staging/$top/licences/$name/copyright"
  # Debian copyright files name full texts under common-licenses instead of
  # repeating them; ship those texts too.
  referenced=""
  for text in $(grep -o "$common_licences/[A-Za-z0-9.+-]*" "/usr/share/doc/$package/copyright" | sort -u); do
    base=${text##*/}
    if [ -f "$text" ]; then
      mkdir -p "$staging/$top/licences/common"
      cp "$text" "$staging/$top/licences/common/$base"
      referenced="$referenced${referenced:+, }\`licences/common/$base\`"
    fi
  done

  version=$(field "$package" '${Version}')
  source_package=$(field "$package" '${source:Package}')
  source_version=$(field "$package" '${source:Version}')
  upstream_version=$(field "$package" '${source:Upstream-Version}')
  use="shipped with the product"
  if [ "$name" = googletest ]; then use="test-only"; fi
  {
    echo
    echo "## $name"
    echo
    echo "- Licence: $licence; the package's copyright and licence terms: \`licences/$name/copyright\`"
    if [ -n "$referenced" ]; then echo "- Full licence texts that file refers to: $referenced"; fi
    echo "- Use: $use"
    echo "- Upstream version: $upstream_version"
    echo "- Debian package: $package $version (source package $source_package $source_version)"
    echo "- Upstream project: $project"
    echo "- Upstream source: $upstream"
    echo "- Debian source: \`apt-get source $source_package=$source_version\`, or"
    echo "  https://snapshot.debian.org/package/$source_package/$source_version/"
  } >>"$sources"
done

mkdir -p "$(dirname "$output")"
tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
  --mode='u=rwX,go=rX' --format=gnu -C "$staging" -cf - "$top" |
  gzip -n -9 >"$output.tmp"
mv -f "$output.tmp" "$output"
