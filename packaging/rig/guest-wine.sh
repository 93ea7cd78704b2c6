# Runs inside the Debian 13 guest as its init's job; /mnt/rig is the host's folder of the run (read-only), /mnt/out takes the results.
# Wine 10 with the prefix built into the image: COM1 is /dev/ttyS1, COM12 /dev/ttyS2, both on
# QEMU's 16550A through the guest's 8250 driver. The setup program installs silently, then the
# installed vorlex-flash.exe and the window run over those ports. Each result is a file the host
# checks; each step's time goes to times.txt.
rig=/mnt/rig out=/mnt/out
say() { echo "guest: $*"; }
export WINEPREFIX=/root/.wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=/root XDG_RUNTIME_DIR=/run/user/0
mkdir -p -m 700 $XDG_RUNTIME_DIR
cd /root
mark=$(date +%s.%N)
timed() { # what: the time since the last mark
    local now
    now=$(date +%s.%N)
    awk -v what="$1" -v a="$mark" -v b="$now" 'BEGIN { printf "%s %.1f\n", what, b - a }' >> $out/times.txt
    mark=$now
}
Xvfb :7 -screen 0 1024x768x24 -nolisten tcp > /root/xvfb.log 2>&1 &
export DISPLAY=:7
for i in $(seq 600); do [ -f $rig/host-ready ] && break; sleep 0.1; done
say "kernel $(uname -r), $(wine --version)"
ls -l $WINEPREFIX/dosdevices/ > $out/dosdevices.txt 2>&1
# Wine cannot map a program from 9p: everything it runs is copied into the guest's own disk.
cp $rig/setup.exe $rig/image.bin /root/
wine /root/setup.exe /S > $out/setup.txt 2>&1
echo $? > $out/setup.status
wineserver -w
timed setup
installed="$WINEPREFIX/drive_c/Program Files/Vorlex Programmer"
flash="$installed/vorlex-flash.exe"

wine "$flash" --list-ports > $out/ports.txt 2> $out/ports.err
timed list-ports

# Two devices on COM1; the emulator drops the line in its first update, so the first is updated
# by a retry.
wine "$flash" --serial COM1 --device 2,3 --label RIG-WINE --report report.json image.bin > $out/com1.txt 2>&1
echo $? > $out/com1.status
timed com1
cp report.json $out/com1-report.json
wine "$flash" --history --label RIG-WINE --csv > $out/history.csv 2> $out/history.err
echo $? > $out/history.status

wine "$flash" --serial COM12 --device 2 --records none --report com12.json image.bin > $out/com12.txt 2>&1
echo $? > $out/com12.status
timed com12
cp com12.json $out/com12-report.json

# Ctrl-C while probing a device that is not on the bus: Wine hands the SIGINT to the console
# program as its Ctrl-C event.
wine "$flash" --serial COM1 --device 9 --records none --report stopped.json image.bin > $out/stopped.txt 2>&1 &
stopped=$!
for i in $(seq 600); do grep -q 'Попытка соединения 2' $out/stopped.txt 2> /dev/null && break; sleep 0.1; done
pkill -INT -f 'vorlex-flash.exe --serial COM1 --device 9'
wait $stopped
echo $? > $out/stopped.status
cp stopped.json $out/stopped-report.json 2> /dev/null
timed ctrl-c

# Another program holds COM1: the flasher says so.
wine "$installed/vorlex-devsim.exe" --serial COM1 --device 7 > /root/holder.txt 2>&1 &
for i in $(seq 600); do grep -q 'link ready' /root/holder.txt 2> /dev/null && break; sleep 0.1; done
wine "$flash" --serial COM1 --device 7 --retries 0 --answer-timeout 3 --records none image.bin > $out/busy.txt 2>&1
echo $? > $out/busy.status
pkill -f 'vorlex-devsim.exe' 
wineserver -w
timed busy

# The window: the real one, driven by a small Qt Test on the Xvfb display.
cp $rig/tst_comwindow.exe $rig/Qt6Test.dll "$installed/"
(cd "$installed" && VORLEX_RIG_PORT=COM1 VORLEX_RIG_IMAGE='Z:\root\image.bin' wine tst_comwindow.exe -o 'Z:\root\window.txt,txt' > $out/window.err 2>&1)
echo $? > $out/window.status
cp /root/window.txt $out/window.txt 2> /dev/null
timed window
wineserver -k
say "done"
