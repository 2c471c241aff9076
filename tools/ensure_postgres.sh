#!/usr/bin/env bash
# The reflection tests start a throwaway PostgreSQL server of their own; they need the
# server programs (initdb, pg_ctl), not a running service. Installs Debian's package when
# they are missing.
set -euo pipefail
if command -v pg_ctl >/dev/null 2>&1 || compgen -G "/usr/lib/postgresql/*/bin/pg_ctl" >/dev/null; then
  exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "ensure_postgres: no apt-get here; install the PostgreSQL server programs by hand" >&2
  exit 1
fi
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends postgresql >/dev/null
