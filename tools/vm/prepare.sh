#!/usr/bin/env bash
# Prepares the VM that runs the 32-bit parts on a machine that cannot run
# them itself: Debian's stock amd64 kernel (its 32-bit support is on), and an
# initramfs of busybox, the kernel's virtio and 9p modules and tools/vm/init.
# Everything comes from Debian's packages. Kept in the cache folder
# (QI_VM_CACHE, or the user's cache folder); a second run reuses it. Prints
# the VM's folder.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="${QI_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-icons/vm}"
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
         9pnet 9pnet_virtio 9p)
# One folder per recipe: a change of the init script, of this script or of
# busybox makes a new one, and checkouts of different versions can share the
# cache. Folders of other recipes unused for a week are removed.
recipe="$(cat "$here/init" "$0" /bin/busybox | sha256sum | cut -c1-16)"
vm="$cache/$recipe"
if [ -f "$vm/ready" ]; then
  echo "$vm"
  exit 0
fi

# Two runs that start at once (two tests, say) make it once.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
if [ -f "$vm/ready" ]; then
  echo "$vm"
  exit 0
fi
find "$cache" -mindepth 1 -maxdepth 1 -type d -mtime +7 ! -name "$recipe" -exec rm -rf {} +
rm -rf "$vm"
work="$vm/work"
mkdir -p "$work/deb" "$work/root/bin" "$work/root/lib/modules"
# The kernel package linux-image-amd64 depends on.
package="$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)"
if [ -z "$package" ]; then
  apt-get update -qq >&2
  package="$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)"
fi
[ -n "$package" ] || { echo "no kernel package behind linux-image-amd64" >&2; exit 1; }
(cd "$work/deb" && apt-get download -qq -o APT::Sandbox::User=root "$package" >&2)
deb="$(ls "$work/deb"/*.deb)"
release="${package#linux-image-}"
patterns=("./boot/vmlinuz-$release")
for m in "${modules[@]}"; do patterns+=("./lib/modules/$release/kernel/*/$m.ko"); done
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" --wildcards "${patterns[@]}"
for m in "${modules[@]}"; do
  found="$(find "$work/lib/modules/$release" -name "$m.ko" | head -1)"
  [ -n "$found" ] || { echo "module $m missing from $package" >&2; exit 1; }
  cp "$found" "$work/root/lib/modules/$m.ko"
done
cp /bin/busybox "$work/root/bin/busybox"
cp "$here/init" "$work/root/init"
chmod 755 "$work/root/init"
(cd "$work/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -9) >"$vm/initramfs.gz"
cp "$work/boot/vmlinuz-$release" "$vm/vmlinuz"
echo "$package" >"$vm/kernel"
rm -rf "$work"
touch "$vm/ready"
echo "$vm"
