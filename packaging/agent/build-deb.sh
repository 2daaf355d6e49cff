#!/usr/bin/env bash
# Builds the Debian package of the desktop agent:
#   build-deb.sh AGENT_PROGRAM VERSION OUTPUT_FOLDER
# Writes OUTPUT_FOLDER/halvenor-agent_VERSION_ARCH.deb with the agent, a
# systemd user unit started with every graphical session, and an XDG
# autostart entry for sessions that systemd does not manage (systemd's own
# sessions skip it, so the agent never starts twice). IT's management tools
# place the rollout file at /etc/halvenor-agent/rollout.json; the agent
# enrols from it when it first starts.
set -euo pipefail
program=${1:?usage: build-deb.sh AGENT_PROGRAM VERSION OUTPUT_FOLDER}
version=${2:?usage: build-deb.sh AGENT_PROGRAM VERSION OUTPUT_FOLDER}
output=${3:?usage: build-deb.sh AGENT_PROGRAM VERSION OUTPUT_FOLDER}
here=$(cd "$(dirname "$0")" && pwd)
arch=$(dpkg --print-architecture)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 0755 "$stage"  # mktemp made it owner-only; it becomes the root folder

install -D -m 0755 "$program" "$stage/opt/halvenor-agent/agent"
strip --strip-debug "$stage/opt/halvenor-agent/agent"
install -D -m 0644 "$here/halvenor-agent.service" "$stage/usr/lib/systemd/user/halvenor-agent.service"
mkdir -p "$stage/usr/lib/systemd/user/graphical-session.target.wants"
ln -s ../halvenor-agent.service "$stage/usr/lib/systemd/user/graphical-session.target.wants/halvenor-agent.service"
install -D -m 0644 "$here/halvenor-agent.desktop" "$stage/etc/xdg/autostart/halvenor-agent.desktop"
install -d -m 0755 "$stage/etc/halvenor-agent"
install -d -m 0755 "$stage/DEBIAN"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: halvenor-agent
Version: $version
Architecture: $arch
Maintainer: Halvenor Mass Communication maintainers <maintainers@halvenor.invalid>
Depends: libc6, libstdc++6, libssl3 | libssl3t64, libtcl8.6, libtk8.6
Section: misc
Priority: optional
Description: Halvenor Mass Communication desktop alert agent
 Shows emergency alerts and exercises from a Halvenor Mass Communication
 server on a receiving computer and reports when they were received,
 displayed and acknowledged. Put the rollout file from Administration at
 /etc/halvenor-agent/rollout.json; the agent enrols on its first start.
CONTROL
mkdir -p "$output"
dpkg-deb --root-owner-group -Zgzip --build "$stage" "$output/halvenor-agent_${version}_${arch}.deb" >/dev/null
