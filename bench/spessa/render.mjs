// Renders a MIDI file with SpessaSynth (spessasynth_core, offline under node)
// to a 16-bit stereo WAV file, as a sound reference for our engine.
//
//   node bench/spessa/render.mjs SONG.mid BANK.{sf2,sf3,dls} OUT.wav
//        [--no-reverb] [--no-chorus] [--gain G] [--rate HZ] [--tail SECONDS] [--modules DIR]
//
// The song plays to its end, then --tail seconds more (default 3) so that
// releases and effect tails are heard out. --no-reverb and --no-chorus set
// the effect's gain to 0, which also silences its send, so a render with an
// effect minus a render without it is that effect's output alone. --gain
// scales the synthesizer's master gain (default 1, its own level, at which
// dense songs may clip). The rate defaults to 44100 Hz. Samples are clipped to 16 bits, never normalised, so
// that two renders compare sample by sample.
//
// spessasynth_core is looked up in --modules DIR (a folder holding
// node_modules/spessasynth_core), by default build-bench/spessa of this
// source tree, where `scripts/deps.sh spessa` installs the pinned version.
import { readFile, writeFile } from "node:fs/promises";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const usage =
    "usage: node render.mjs SONG.mid BANK.{sf2,sf3,dls} OUT.wav [--no-reverb] [--no-chorus] " +
    "[--gain G] [--rate HZ] [--tail SECONDS] [--modules DIR]";

function parseArguments(argv) {
    const here = path.dirname(fileURLToPath(import.meta.url));
    const options = {
        reverb: true,
        chorus: true,
        gain: 1,
        rate: 44100,
        tail: 3,
        modules: path.resolve(here, "../../build-bench/spessa"),
        files: [],
    };
    for (let i = 0; i < argv.length; ++i) {
        const a = argv[i];
        const value = () => {
            if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
            return argv[++i];
        };
        if (a === "--no-reverb") options.reverb = false;
        else if (a === "--no-chorus") options.chorus = false;
        else if (a === "--gain") options.gain = Number(value());
        else if (a === "--rate") options.rate = Number(value());
        else if (a === "--tail") options.tail = Number(value());
        else if (a === "--modules") options.modules = path.resolve(value());
        else if (a.startsWith("--")) throw new Error(`unknown option ${a}`);
        else options.files.push(a);
    }
    if (options.files.length !== 3) throw new Error("expected SONG, BANK and OUT");
    if (!(options.rate >= 8000 && options.rate <= 192000)) throw new Error("--rate must lie within 8000..192000");
    if (!(options.gain >= 0 && options.gain <= 100)) throw new Error("--gain must lie within 0..100");
    if (!(options.tail >= 0 && options.tail <= 600)) throw new Error("--tail must lie within 0..600 seconds");
    return options;
}

// 16-bit PCM, interleaved, with the canonical 44-byte header.
function wav16(left, right, rate) {
    const frames = left.length;
    const out = Buffer.alloc(44 + frames * 4);
    out.write("RIFF", 0, "ascii");
    out.writeUInt32LE(36 + frames * 4, 4);
    out.write("WAVE", 8, "ascii");
    out.write("fmt ", 12, "ascii");
    out.writeUInt32LE(16, 16);
    out.writeUInt16LE(1, 20);
    out.writeUInt16LE(2, 22);
    out.writeUInt32LE(rate, 24);
    out.writeUInt32LE(rate * 4, 28);
    out.writeUInt16LE(4, 32);
    out.writeUInt16LE(16, 34);
    out.write("data", 36, "ascii");
    out.writeUInt32LE(frames * 4, 40);
    const clip = (x) => Math.max(-32768, Math.min(32767, Math.round(x * 32768)));
    for (let i = 0; i < frames; ++i) {
        out.writeInt16LE(clip(left[i]), 44 + 4 * i);
        out.writeInt16LE(clip(right[i]), 46 + 4 * i);
    }
    return out;
}

async function main() {
    let options;
    try {
        options = parseArguments(process.argv.slice(2));
    } catch (e) {
        console.error(`render.mjs: ${e.message}\n${usage}`);
        process.exit(2);
    }
    const entry = path.join(options.modules, "node_modules", "spessasynth_core", "dist", "index.js");
    let core;
    try {
        core = await import(pathToFileURL(entry).href);
    } catch (e) {
        console.error(`render.mjs: cannot load spessasynth_core from ${entry} (scripts/deps.sh spessa installs it)`);
        process.exit(1);
    }
    const { BasicMIDI, SoundBankLoader, SpessaLog, SpessaSynthProcessor, SpessaSynthSequencer } = core;
    SpessaLog.setLogLevel(false, false, false);

    const [songPath, bankPath, outPath] = options.files;
    const songBytes = await readFile(songPath);
    const bankBytes = await readFile(bankPath);
    const slice = (b) => b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength);
    const midi = BasicMIDI.fromArrayBuffer(slice(songBytes), path.basename(songPath));
    const bank = SoundBankLoader.fromArrayBuffer(slice(bankBytes));

    const block = 128;
    const synth = new SpessaSynthProcessor(options.rate, { eventsEnabled: false, maxBufferSize: block });
    synth.soundBankManager.addSoundBank(bank, "main");
    await synth.processorInitialized;
    synth.setSystemParameter("autoAllocateVoices", true);
    synth.setSystemParameter("gain", options.gain);
    if (!options.reverb) synth.setSystemParameter("reverbGain", 0);
    if (!options.chorus) synth.setSystemParameter("chorusGain", 0);

    const sequencer = new SpessaSynthSequencer(synth);
    sequencer.loopCount = 0;
    sequencer.loadNewSongList([midi]);
    sequencer.play();

    const frames = Math.ceil(options.rate * (midi.duration + options.tail));
    const left = new Float32Array(frames);
    const right = new Float32Array(frames);
    for (let done = 0; done < frames; done += block) {
        sequencer.processTick();
        synth.process(left, right, done, Math.min(block, frames - done));
    }
    await writeFile(outPath, wav16(left, right, options.rate));
}

await main();
