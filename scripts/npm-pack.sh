# shellcheck shell=bash
# Sourced by the fetch scripts: a pinned npm package, as the registry has it.

# Downloads npm package $1 into folder $2 as $2/package.tgz and checks its
# bytes against integrity $3 (npm's sha512-<base64> form). Returns 1 with the
# reason on stderr, removing folder $2 with everything in it, when the
# download or the check fails.
PackVerified() {
  local package=$1 work=$2 integrity=$3 tarball actual
  echo "setup: downloading $package"
  # npm's own error (shown at this log level) says why a download failed.
  if ! tarball=$(cd "$work" && npm pack --loglevel=error "$package" | tail -n 1); then
    echo "setup: could not download $package (npm's error is above). Check the" \
         "network and that npm can reach its registry (npm config get registry)," \
         "then run scripts/setup.sh again." >&2
    rm -rf "$work"
    return 1
  fi
  mv "$work/$tarball" "$work/package.tgz"
  actual="sha512-$(openssl dgst -sha512 -binary "$work/package.tgz" | base64 -w0)"
  if [ "$actual" != "$integrity" ]; then
    rm -rf "$work"
    echo "setup: integrity mismatch for $package: the registry's package is not" \
         "the pinned one, so none of it is used." >&2
    echo "  expected $integrity" >&2
    echo "  got      $actual" >&2
    return 1
  fi
}
