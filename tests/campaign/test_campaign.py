"""A seeded fault campaign: take after take in one running program, each with
one fault or none at a random moment (before Start, mid-take, around Stop,
during Save), and every take judged by what a person or a file reader sees.
CAMPAIGN_SEED and CAMPAIGN_TAKES choose the run (make campaign); the same
seed gives the same faults at the same moments."""

import os
import random
import signal
import subprocess
import threading
import time
from collections import Counter

import pytest
from driver import (APP_TITLE, MAIN_TITLE, RATE, START_BUTTON, STOP_BUTTON, Failure, frequency, pactl, read_wave,
                    timed, wait_for, window_size, windows, xdotool)
from test_faults import FRAGMENT, restart_server, session_pids, session_process, silent_runs

pytestmark = [pytest.mark.campaign, pytest.mark.session("--signal=tone:440", "--decoy-source")]

# Takes that once failed, (seed, take numbers), replayed first: a take's
# faults and moments depend on its seed and number alone. These are of the
# kinds that first did, before the oracle knew the session's tone player can
# run dry: a busy CPU from before Start, the recorder killed during Save, a
# short hang around Stop; and a mute told just as Stop was clicked.
KNOWN = [(2026120823, (36, 80, 102, 139)), (1527764265, (14,))]

TAKES = int(os.environ.get("CAMPAIGN_TAKES", "150"))
# Only these kinds (comma-separated), to look into one; a seed repeats only with the same choice.
ONLY = [k for k in os.environ.get("CAMPAIGN_ONLY", "").split(",") if k]
SEED = int(os.environ.get("CAMPAIGN_SEED") or random.SystemRandom().randrange(2**32))
MOMENTS = ("before Start", "mid-take", "around Stop", "during Save")

# What the program says, as its log has it.
INTERRUPTED = ("录音被中断", "录音没有完整收到")
NOTHING = "没有录下任何声音"
MUTED = "处于静音状态"
ALL_SILENT = "全是静音"
HOLES = "那里是静音"
LATE = "秒后才送来声音"
OFFERED = "找到上次运行时没有保存的录音"
NO_RECOVERY = "recovery file"  # "recording without a recovery file", or one that "cannot be written"


@pytest.fixture
def case_time_limit():
    yield  # each take keeps to its own waits


def said(log_path):
    with open(log_path, encoding="utf-8", errors="replace") as f:
        return f.read()


class Reference:
    """A second reader of the microphone all along, as a level meter would be.
    Where it heard silence too, the device itself gave silence (the session's
    tone player ran dry), and no recorder could have known."""

    def __init__(self):
        self.path = os.path.join(os.environ["SESSION_DIR"], "reference.raw")
        self.process = None
        self.restart()

    def restart(self):
        if self.process:
            self.process.kill()
            self.process.wait()
        with open(self.path, "wb") as out:
            self.process = subprocess.Popen(
                ["parec", "--device=rec_mic", "--raw", "--format=u8", "--rate=22050", "--channels=1",
                 "--latency-msec=200"], stdout=out, stderr=subprocess.DEVNULL)

    def anchor(self):
        """A moment and how much had been heard by then."""
        return time.monotonic(), os.path.getsize(self.path)

    def silent_near(self, anchor, moment, spread=0.5):
        """Whether it heard 10 ms or more of silence within `spread` s of `moment`."""
        now, size = anchor
        at = size + int((moment - now) * RATE)
        with open(self.path, "rb") as f:
            f.seek(max(0, at - int(spread * RATE)))
            heard = f.read(int(2 * spread * RATE))
        run = 0
        for sample in heard:
            run = run + 1 if abs(sample - 128) <= 2 else 0
            if run >= RATE // 100:
                return True
        return False

    def kept_aside(self):
        """Whether a recovery file has sound in it."""
        return any(os.path.getsize(os.path.join(self.recovery, name)) > 44
                   for name in os.listdir(self.recovery) if name.endswith(".wav"))

    def close(self):
        self.process.kill()
        self.process.wait()


class Rig:
    """The session, the running program, and the faults put on them."""

    def __init__(self, session, launch, own_mounts):
        self.session, self.launch, self.own_mounts = session, launch, own_mounts
        self.server = "pipewire-pulse" if os.environ["MOLAN_SOUND_SERVER"] == "pipewire" else "pulseaudio"
        state = os.environ.get("XDG_STATE_HOME", "")
        state = state if os.path.isabs(state) else os.path.join(os.environ["HOME"], ".local/state")
        self.recovery = os.path.join(state, "molan-recorder")
        os.makedirs(self.recovery, exist_ok=True)
        self.pending, self.hogs, self.module, self.mounted, self.refused = [], [], None, False, False
        self.own_disk()
        self.reference = Reference()
        self.start()

    def start(self):
        self.program = self.launch()
        self.mark = 0

    def main_window(self):
        self.window = wait_for(lambda: [w for w in windows(MAIN_TITLE) if window_size(w) == (361, 220)],
                               15, "the main window")[0]

    def news(self):
        """What the program said since last asked."""
        text = said(self.program.log_path)
        new, self.mark = text[self.mark:], len(text)
        return new

    def dismiss(self, wait=0.0):
        """Answers every message box up now, or within `wait` seconds."""
        deadline = time.monotonic() + wait
        seen = 0
        while True:
            boxes = windows(APP_TITLE)
            if boxes:
                self.program.key(boxes[0], "Return")
                seen += 1
                time.sleep(0.1)
            elif time.monotonic() >= deadline:
                return seen
            else:
                time.sleep(0.05)

    def click(self, where):
        self.program.activate(self.window)
        xdotool("mousemove", "--window", self.window, *map(str, where))
        before = time.monotonic()
        timed("click", "1")
        return before, time.monotonic()

    def later(self, seconds, action):
        timer = threading.Timer(seconds, action)
        timer.start()
        self.pending.append(timer)

    def settle(self):
        for timer in self.pending:
            timer.join()
        self.pending.clear()

    # ---- the faults: each puts one on, and `undo` takes it off for the next take ----

    def hang(self, seconds):
        pids = session_pids()
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        self.later(seconds, lambda: [os.kill(pid, signal.SIGCONT) for pid in pids])

    def kill_server(self):
        pid, command = session_process(self.server)
        os.kill(pid, signal.SIGKILL)
        restart_server(command, self.session)
        self.reference.restart()

    def unplug(self):
        for line in pactl("list", "short", "modules").splitlines():
            index, name, *args = line.split("\t") + [""]
            if name == "module-remap-source" and "rec_mic" in args[0]:
                self.module = args[0]
                pactl("unload-module", index)
                return
        raise AssertionError("no module for rec_mic")

    def kill_program(self):
        self.program.process.kill()
        self.program.process.wait()

    # The recovery folder is a small disk of its own for the whole run, as a
    # home on a USB stick would be: it fills up, or is made read-only, under
    # the files the program has open. (A file system put over the folder
    # instead would leave those files behind it, out of the program's reach.)
    def own_disk(self):
        if self.own_mounts:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m,mode=700", "tmpfs", self.recovery], check=True)

    def recovery_folder(self, how):
        if not self.own_mounts:
            return
        if how == "read-only":  # refused while a file is open for writing, as the kernel does
            self.mounted = subprocess.run(["mount", "-o", "remount,ro", self.recovery],
                                          capture_output=True).returncode == 0
            self.refused = not self.mounted
            return
        self.mounted = True
        try:
            with open(os.path.join(self.recovery, "filler"), "wb") as f:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
        except OSError:  # full, as meant
            pass

    def hog(self, seconds):
        self.hogs = [subprocess.Popen(["nice", "-n", "0", "sh", "-c", "while :; do :; done"]) for _ in range(2)]
        self.later(seconds, self.end_hogs)

    def end_hogs(self):
        for hog in self.hogs:
            hog.kill()
            hog.wait()
        self.hogs = []

    def kept_aside(self):
        """Whether a recovery file has sound in it."""
        return any(os.path.getsize(os.path.join(self.recovery, name)) > 44
                   for name in os.listdir(self.recovery) if name.endswith(".wav"))

    def close(self):
        self.undo()
        self.reference.close()
        self.program.process.kill()
        self.program.process.wait()
        if self.own_mounts:
            subprocess.run(["umount", self.recovery], check=True)

    def undo(self):
        self.refused = False
        self.settle()
        self.end_hogs()
        if self.module:
            pactl("load-module", "module-remap-source", self.module)
            self.module = None
        if self.mounted:
            subprocess.run(["mount", "-o", "remount,rw", self.recovery], check=True)
            if os.path.exists(filler := os.path.join(self.recovery, "filler")):
                os.remove(filler)
            self.mounted = False
        pactl("set-source-mute", "rec_mic", "0")
        pactl("set-default-source", "rec_mic")
        if self.reference.process.poll() is not None:  # its device went
            self.reference.restart()


# One row a kind: (weight, what it does to the rig given the take's draws).
FAULTS = {
    "none": (4, lambda rig, d: None),
    "server hung": (1, lambda rig, d: rig.hang(d["hang"])),
    "server killed": (1, lambda rig, d: rig.kill_server()),
    "unplugged": (1, lambda rig, d: rig.unplug()),
    "default switched": (1, lambda rig, d: pactl("set-default-source", "aaa_decoy")),
    "muted": (1, lambda rig, d: pactl("set-source-mute", "rec_mic", "1")),
    "recorder killed": (1, lambda rig, d: rig.kill_program()),
    "recovery folder full": (1, lambda rig, d: rig.recovery_folder("full")),
    "recovery folder read-only": (1, lambda rig, d: rig.recovery_folder("read-only")),
    "CPU hog": (1, lambda rig, d: rig.hog(d["hog"])),
}


def draw(seed, number):
    """One take's faults and times, from the seed and the take's number alone."""
    rng = random.Random(f"{seed}:{number}")
    kinds = list(FAULTS)
    return {
        "fault": rng.choices(kinds, weights=[FAULTS[k][0] * (not ONLY or k in ONLY) for k in kinds])[0],
        "moment": rng.choice(MOMENTS),
        "length": rng.uniform(1.0, 2.5),
        "at": rng.uniform(0.1, 0.9),  # of the take, for mid-take
        "near": rng.uniform(-0.025, 0.025),  # from the Stop click
        "hang": rng.uniform(0.2, 2.0),
        "hog": rng.uniform(2.0, 4.0),
        "save": rng.random() < 0.85,
    }


class Take:
    """What one take did and saw: the times are seconds from the Start click."""

    def __init__(self, number, draws):
        self.number, self.d = number, draws
        self.fault, self.moment = draws["fault"], draws["moment"]
        self.fired = None  # when the fault came, None for before Start
        self.hung = 0.0  # before Start: when the fault came, from the Start click (negative)
        self.start = self.stop = None  # (before, after) of the clicks, monotonic
        self.text = ""  # what the program said
        self.file = None  # the saved or recovered take, as read_wave reads it
        self.recovered = self.saved = self.tried_save = False
        self.verdict = []  # what went wrong, for the failure
        self.device_silent = False  # silence in it that the second reader heard too
        self.kept_aside = None  # whether a recovery file had its sound after Stop
        self.heard = None  # where the take began in what the second reader heard
        self.refused = False  # the folder could not be made read-only: a file was open for writing

    def took(self, t):
        return t - self.start[0]

    def told(self, *words):
        return any(w in self.text for w in words)


def record(rig, take):
    d, fire = take.d, lambda: FAULTS[take.fault][1](rig, d)
    if take.moment == "before Start":
        early = time.monotonic()
        fire()
        if take.fault == "recorder killed":
            rig.start()
            rig.dismiss(1.0)  # an earlier take not saved comes back: not this one's
            rig.main_window()
            rig.news()
    take.heard = rig.reference.anchor()
    take.start = rig.click(START_BUTTON)
    if take.moment == "before Start":
        take.hung = early - take.start[0]
    if take.moment == "mid-take":
        time.sleep(max(0.0, d["length"] * d["at"] - (time.monotonic() - take.start[1])))
        take.fired = take.took(time.monotonic())
        fire()
        if take.fault == "recorder killed":
            return
        time.sleep(max(0.0, d["length"] - take.took(time.monotonic())))
    elif take.moment == "around Stop":
        time.sleep(max(0.0, d["length"] + min(d["near"], 0) - take.took(time.monotonic())))
        if d["near"] < 0:
            take.fired = take.took(time.monotonic())
            fire()
            if take.fault == "recorder killed":
                return
            time.sleep(-d["near"])
    else:
        time.sleep(max(0.0, d["length"] - take.took(time.monotonic())))
    rig.dismiss()
    take.stop = rig.click(STOP_BUTTON)
    if take.moment == "around Stop" and d["near"] >= 0:
        time.sleep(d["near"])
        take.fired = take.took(time.monotonic())
        fire()
        if take.fault == "recorder killed":
            return
    if take.fault != "none" and take.moment != "before Start":
        rig.settle()
        answered = rig.dismiss(1.2)  # the end of a take cut short is told within a second
    else:
        answered = rig.dismiss(0.3)
    if answered:
        # A box that came just before the click took it, as a person's would:
        # Stop once more (nothing, if the take had ended), and the take ended
        # at one of the two.
        take.stop = (take.stop[0], rig.click(STOP_BUTTON)[1])
        rig.dismiss(0.3)
    take.text = rig.news()
    take.kept_aside = rig.kept_aside()
    if not d["save"] or take.told(NOTHING):
        if take.moment == "during Save":  # the fault comes all the same, where the save would have been
            take.fired = take.took(time.monotonic())
            fire()
        return
    path = str(rig.session / f"take-{take.number:03d}")
    take.tried_save = True

    def during_save():
        if take.moment == "during Save":
            time.sleep(d["near"] + 0.025)  # the file is written within some 50 ms of the Return
            take.fired = take.took(time.monotonic())
            fire()

    rig.dismiss()
    try:
        rig.program.save_as(rig.window, path, then=during_save)
    except Failure:  # a message came up instead of the dialog: answered, as a person would
        rig.dismiss()
        rig.program.save_as(rig.window, path, then=during_save)
    if take.fault == "recorder killed" and take.fired is not None:
        if os.path.exists(path + ".wav"):
            take.saved, take.file = True, read_wave(path + ".wav")
        return
    wait_for(lambda: os.path.exists(path + ".wav") or windows(APP_TITLE), 10, path)
    rig.dismiss(0.2)
    take.text += rig.news()
    take.saved = os.path.exists(path + ".wav")
    if take.saved:
        take.file = read_wave(path + ".wav")


def recover(rig, take):
    """After a kill: the next start must offer the take back; it is saved.
    Killed just after its file was written, and before its recovery file
    went, a take is offered again: that copy is saved too, and not judged."""
    rig.start()
    offered = rig.dismiss(3.0)
    rig.main_window()
    text = rig.news()
    take.text += text
    if not offered or OFFERED not in text:
        return
    if take.saved:
        rig.program.save_and_read(rig.window, str(rig.session / f"take-{take.number:03d}-again"))
        rig.news()
        return
    path = str(rig.session / f"take-{take.number:03d}-recovered")
    take.file = rig.program.save_and_read(rig.window, path)
    take.recovered = True
    take.text += rig.news()


def judge(take, run_text, mounts, reference):
    """Each rule with its reason; a broken rule goes into the take's verdict as
    "lost" (what was kept is not there) or "untold" (a gap nobody was told of)."""
    d, f = take.d, take.file
    wrong = take.verdict.append

    # Without a recovery file the take is at risk, which the program says
    # once a run, and only to its log: the person can do nothing about it.
    # A full folder may still take it: Start lets go of the take before.
    if take.fault.startswith("recovery folder") and take.moment == "before Start" and mounts \
            and not take.refused and not take.kept_aside:
        if NO_RECOVERY not in run_text:
            wrong("untold: recorded without a recovery file, and not a word of it")

    # Nothing was recorded to keep when the program says so, or when it is
    # killed within its first second (the recovery file is fed once a second).
    if f is None:
        if take.fault == "recorder killed" and take.moment == "during Save" and take.tried_save:
            wrong("lost: killed while saving, neither saved nor offered back")
        elif take.fault == "recorder killed" and take.fired is not None and take.fired > 1.3:
            wrong(f"lost: killed after {take.fired:.2f} s and not offered back")
        elif take.tried_save:
            wrong("lost: saved, and no file")
        return
    frames, samples = f["frames"], f["samples"]
    if (f["channels"], f["width"], f["rate"]) != (1, 1, RATE):
        wrong("lost: the file is not 8-bit mono at 22050 Hz")
        return
    seconds = frames / RATE
    asked = (take.stop[0] - take.start[1], take.stop[1] - take.start[0]) if take.stop else None

    # A take the program said it kept part of is that long: "已经录下的 X 秒" is
    # rounded to a tenth.
    kept = next((float(w.split(" 秒")[0]) for w in take.text.split("已经录下的 ")[1:]), None)
    if kept is not None and abs(seconds - kept) > 0.06:
        wrong(f"lost: said {kept} s were kept, the file has {seconds:.3f} s")

    # Up to the fault the take is all there. A take cut short is told. A
    # recovered take lacks at most the last second (fed once a second) and
    # the fragment the server had not handed over.
    if take.recovered:
        end = min(take.fired, take.took(take.stop[1])) if take.stop else take.fired
        if not end - 1 - FRAGMENT - 0.1 <= seconds <= end + 0.1:
            wrong(f"lost: {seconds:.2f} s recovered of a take killed after {end:.2f} s")
    elif asked and kept is None and not take.told(LATE, ALL_SILENT):
        if not asked[0] - 0.03 <= seconds <= asked[1] + 0.03:
            wrong(f"untold: {seconds:.3f} s kept of {asked[0]:.3f}..{asked[1]:.3f} s between the clicks")
    elif kept is not None and take.fired is not None and take.fault in ("server hung", "server killed", "unplugged"):
        # The server posts a fragment at a time, and holds that much back on PipeWire.
        if seconds < min(take.fired, asked[0] if asked else take.fired) - FRAGMENT - 0.3:
            wrong(f"untold: {seconds:.2f} s kept of a take cut at {take.fired:.2f} s")

    # The sound is the tone, and silence only where the program said it would
    # be, or where it could not know: a server that stood still for less than
    # the program's hang watch comes back with that time handed over as sound
    # like any other, silence on PulseAudio (its null sink renders the time it
    # missed), a jump in the tone on PipeWire; a card would have kept it.
    sound = next((i + 1 for i in range(len(samples) - 1, -1, -1) if abs(samples[i] - 128) > 1), 0)
    if take.told(ALL_SILENT) or (take.fault == "muted" and take.moment == "before Start" and take.told(MUTED)):
        return
    if sound < 0.1 * RATE:
        wrong(f"untold: {seconds:.2f} s of silence")
        return
    excused = []
    if take.fault == "server hung":
        at = take.hung if take.fired is None else take.fired
        excused.append((at - 0.3, at + d["hang"] + 0.5))
    if take.fault == "muted" and take.told(MUTED) and take.fired is not None:
        excused.append((take.fired - 0.3, seconds))  # and silence from there on, told within 300 ms
    if take.told(HOLES):
        excused.append((0, seconds))  # the program said how much it filled with silence
    inside = lambda t: any(a <= t <= b for a, b in excused)  # noqa: E731
    quiet = [t for t in silent_runs(samples[:sound]) if not inside(t) and not inside(t + 0.02)]
    # Silence the device gave, as the second reader heard it at that moment
    # too; a muted device is left to the program to tell.
    if take.fault != "muted":
        device = [t for t in quiet if reference.silent_near(take.heard, take.start[0] + t)]
        take.device_silent = bool(device)
        quiet = [t for t in quiet if t not in device]
    if quiet:
        wrong(f"untold: silence at {', '.join(f'{t:.2f}' for t in quiet[:5])} s")
    # Between silences and excused stretches, each stretch of sound is the
    # tone (a count of crossings across a gap would be skewed by it).
    cuts = sorted([(int(t * RATE) - 441, int(t * RATE) + 882) for t in silent_runs(samples[:sound])]
                  + [(int(a * RATE), int(b * RATE)) for a, b in excused])
    begin = 0
    for cut_from, cut_to in cuts + [(sound, sound)]:
        end = max(begin, min(cut_from, sound))
        if end - begin > 0.1 * RATE and abs(frequency(samples[begin:end]) - 440) > 5:
            wrong(f"lost: not the tone at {begin / RATE:.2f} s ({frequency(samples[begin:end]):.1f} Hz)")
            break
        begin = max(begin, cut_to)
    # After a mute that was not told the take would be silence passed off as sound.
    if take.fault == "muted" and not take.told(MUTED) and take.fired is not None and seconds - take.fired > 0.5:
        wrong("untold: muted mid-take and not told")


def summary(take):
    at = "-" if take.fired is None else f"{take.fired:.2f}"
    kept = "-" if take.file is None else f"{take.file['frames'] / RATE:.2f}"
    how = "recovered" if take.recovered else "saved" if take.saved else ""
    if take.fault == "server hung":
        how += f" hung {take.d['hang']:.2f}"
    if take.refused:
        how += " refused"
    if take.file:
        quiet = silent_runs(take.file["samples"])
        how += f" silent {quiet[0]:.2f}..{quiet[-1] + 0.02:.2f}" if quiet else ""
    words = [line.split(": ", 1)[1][:30] for line in take.text.splitlines() if line.startswith("molan-recorder: ")]
    return f"take {take.number:3}: {take.fault:25} {take.moment:12} at {at:5} kept {kept:5} {how:9} {' | '.join(words)}"


@pytest.mark.parametrize("seed,takes", KNOWN + [(SEED, range(1, TAKES + 1))], ids=lambda v: str(v)[:20])
def test_campaign(own_mounts, session, launch, seed, takes):
    print(f"\ncampaign: seed {seed}, {len(takes)} takes on {os.environ['MOLAN_SOUND_SERVER']}"
          + ("" if own_mounts else "; recovery folder faults left out (needs root)"))
    rig = Rig(session, launch, own_mounts)
    rig.main_window()
    tried, counts, failures = Counter(), Counter(), []
    try:
        for number in takes:
            take = Take(number, draw(seed, number))
            tried[take.fault] += 1
            record(rig, take)
            take.refused = rig.refused
            if take.fault == "recorder killed" and take.moment != "before Start":
                recover(rig, take)
            rig.undo()
            if not rig.program.running():
                take.verdict.append("the program ended by itself")
                rig.start()
                rig.dismiss(3.0)
                rig.main_window()
                rig.news()
            judge(take, said(rig.program.log_path), own_mounts, rig.reference)
            counts["saved"] += take.saved
            counts["recovered"] += take.recovered
            counts["told"] += "molan-recorder: " in take.text
            counts["lost"] += any(v.startswith("lost") for v in take.verdict)
            counts["untold gaps"] += any(v.startswith("untold") for v in take.verdict)
            counts["silence the device gave"] += take.device_silent
            print(summary(take))
            if take.verdict:
                failures.append(f"seed {seed} take {number}: {take.fault} {take.moment} "
                                f"at {take.fired if take.fired is None else round(take.fired, 3)} s: "
                                f"{'; '.join(take.verdict)}\n    said: {take.text.strip()[:300]!r}")
                print(failures[-1])
    finally:
        rig.close()
    print(f"\nseed {seed}, {os.environ['MOLAN_SOUND_SERVER']}: faults tried")
    for kind in FAULTS:
        print(f"  {kind:28} {tried[kind]:4}")
    print("takes: " + ", ".join(f"{k} {counts[k]}" for k in ("saved", "recovered", "told", "lost", "untold gaps",
                                                         "silence the device gave")))
    assert not failures, "\n".join(failures)
