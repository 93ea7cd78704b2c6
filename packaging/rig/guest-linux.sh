# Runs inside the Debian 12 guest as its init's job; /mnt/rig is the host's folder of the run (read-only), /mnt/out takes the results.
# The project's package installs with dpkg -i and no network, then updates the device behind
# /dev/ttyS1 (the guest's 8250 driver on QEMU's 16550A) while the guest's own view of the port
# is taken; then once more with the live lines on the guest's serial console, which reports no
# width. Each result is a file the host checks.
rig=/mnt/rig out=/mnt/out
say() { echo "guest: $*"; }
for i in $(seq 600); do [ -f $rig/host-ready ] && break; sleep 0.1; done
say "kernel $(uname -r), $(grep -c '^processor' /proc/cpuinfo) processors"
dpkg -i $rig/vorlex.deb > $out/dpkg.txt 2>&1
echo $? > $out/dpkg.status
vorlex-flash --version > $out/version.txt 2>&1
cp $rig/image.bin /root/image.bin
cd /root

# The port's settings as the driver holds them while the flasher has it open.
vorlex-flash --serial /dev/ttyS1 --device 2 --label RIG-LINUX --report /root/report.json image.bin > $out/linux-flash.txt 2>&1 &
flasher=$!
for i in $(seq 300); do
    if kill -0 $flasher 2> /dev/null && stty -F /dev/ttyS1 -a 2> /dev/null | grep -q 'speed 19200'; then
        stty -F /dev/ttyS1 -a > $out/stty.txt 2>&1
        break
    fi
    sleep 0.05
done
wait $flasher
echo $? > $out/linux-flash.status
cp /root/report.json $out/linux-report.json
vorlex-flash --history --label RIG-LINUX --csv > $out/linux-history.csv 2>&1

# The console: a serial terminal that answers TIOCGWINSZ with 0 columns.
stty -F /dev/ttyS0 size > $out/console-size.txt 2>&1
env -u COLUMNS vorlex-flash --serial /dev/ttyS1 --device 2 --records none image.bin > /dev/ttyS0 2>&1
echo $? > $out/console-flash.status
say "done"
