#!/bin/busybox sh
# /init of the VM test: loads the modules, mounts the host's root (read-only)
# and the results share, builds a USB gadget with one FunctionFS function on
# the software controller, then runs the guest cases inside the host's root
# with each of the host's interpreters and freshly built modules. Progress lines start
# with "vm-init:" for run_vm.py, which watches the console.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "vm-init: $*"; }
fail() {
    say "fail $*"
    poweroff -f
}
say "start $(cut -d' ' -f1 /proc/uptime)"

for m in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$m.ko" || fail "insmod $m"
done
# The camera's device, /dev/video9, offering capture once a writer streams.
if [ -f /lib/modules/extra/v4l2loopback.ko ]; then
    insmod /lib/modules/extra/v4l2loopback.ko exclusive_caps=1 devices=1 video_nr=9 \
        card_label=tessera || say "insmod v4l2loopback failed"
fi

opts=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o "$opts,ro,cache=loose" hostroot /host || fail "mount the host root"
mount -t 9p -o "$opts" results /results || fail "mount the results share"
. /results/job.env

mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
mount -t configfs configfs /host/sys/kernel/config || fail "mount configfs"
mount -t tmpfs tmpfs "/host$SCRATCH" || fail "mount scratch space on $SCRATCH"
# As on any machine, /run starts empty and writable: udevd keeps its state there.
mount -t tmpfs tmpfs /host/run || fail "mount /run"
mkdir "/host$SCRATCH/results" "/host$SCRATCH/tmp"
mount -o bind /results "/host$SCRATCH/results"

# The device: vendor-specific, one configuration holding the FunctionFS
# function whose descriptors the gadget program writes.
G=/host/sys/kernel/config/usb_gadget/grabber
mkdir "$G" || fail "create the gadget"
echo 0x1209 > "$G/idVendor"
echo 0x0001 > "$G/idProduct"
echo 0x0200 > "$G/bcdUSB"
mkdir "$G/strings/0x409"
echo "tessera" > "$G/strings/0x409/manufacturer"
echo "tile stream grabber" > "$G/strings/0x409/product"
echo "vm0001" > "$G/strings/0x409/serialnumber"
mkdir "$G/configs/c.1" "$G/configs/c.1/strings/0x409"
echo "stream" > "$G/configs/c.1/strings/0x409/configuration"
mkdir "$G/functions/ffs.grabber" || fail "create the FunctionFS function"
ln -s "$G/functions/ffs.grabber" "$G/configs/c.1/"
mkdir /host/dev/ffs-grabber
mount -t functionfs grabber /host/dev/ffs-grabber || fail "mount functionfs"
udc=$(ls /sys/class/udc | head -n 1)
[ -n "$udc" ] || fail "no USB device controller"

say "ready $(cut -d' ' -f1 /proc/uptime)"
# Every case once under each interpreter, its results in results/runN.
n=0
for python in $GUEST_PYTHONS; do
    mkdir "/results/run$n"
    chroot /host /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$SCRATCH/tmp" \
        TMPDIR="$SCRATCH/tmp" PYTHONDONTWRITEBYTECODE=1 TESSERA_BUILD_DIR="$BUILD_DIR" \
        "$python" -S "$SOURCE_DIR/tests/vm/guest_runner.py" \
        --results "$SCRATCH/results/run$n" --source-dir "$SOURCE_DIR" \
        --ffs /dev/ffs-grabber --udc "$udc" --udc-file /sys/kernel/config/usb_gadget/grabber/UDC \
        --cases "$CASES"
    status=$?
    n=$((n + 1))
done
say "exit $status $(cut -d' ' -f1 /proc/uptime)"
dmesg > /results/dmesg.txt
sync
umount "/host$SCRATCH/results"
umount /results
poweroff -f
