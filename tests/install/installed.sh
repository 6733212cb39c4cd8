# Sourced by the install checks: installs this build into a fresh prefix in
# /tmp (outside the checkout, readable by anyone), and gives a way to run a
# command there as an ordinary user: as ourselves when we are not root, else
# as nobody, with a home of its own.
#   . installed.sh CMAKE BUILD_DIR
cmake=$1
build=$2
work=$(mktemp -d /tmp/pspc-install.XXXXXX)
chmod 755 "$work"
trap 'as_user_cleanup; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install did not complete"; }
prefix=$work/prefix
home=$work/home
mkdir -p "$home"
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$home"
  as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" "$@"; }
  as_user_cleanup() { pkill -u 65534 -f "$work" 2>/dev/null || true; }
else
  as_user() { env -i HOME="$home" PATH="$prefix/bin:/usr/bin:/bin" "$@"; }
  as_user_cleanup() { :; }
fi
