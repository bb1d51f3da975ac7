'use strict';
// Loads the real main process against a recording double of the electron module.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const Module = require('node:module');

const root = path.resolve(__dirname, '..', '..');

function makeElectronDouble({ gotLock = true } = {}) {
    const record = { windows: [], trays: [], quitCalls: 0, handlers: {}, appEvents: {} };
    let resolveReady;
    const ready = new Promise((resolve) => {
        resolveReady = resolve;
    });
    class BrowserWindow {
        constructor(options) {
            this.options = options;
            this.events = {};
            this.shown = false;
            record.windows.push(this);
        }
        loadFile(file) { this.loaded = file; }
        once(name, fn) { this.events[name] = fn; }
        on(name, fn) { this.events[name] = fn; }
        show() { this.shown = true; }
        hide() { this.shown = false; }
        focus() {}
        isMinimized() { return false; }
        restore() {}
    }
    class Tray {
        constructor(image) {
            this.image = image;
            record.trays.push(this);
        }
        setToolTip(text) { this.toolTip = text; }
        setContextMenu(menu) { this.menu = menu; }
        on() {}
    }
    const electron = {
        app: {
            requestSingleInstanceLock: () => gotLock,
            quit: () => { record.quitCalls += 1; },
            on: (name, fn) => { record.appEvents[name] = fn; },
            whenReady: () => ready,
        },
        BrowserWindow,
        Tray,
        Menu: { buildFromTemplate: (items) => ({ items }) },
        ipcMain: { handle: (channel, fn) => { record.handlers[channel] = fn; } },
        nativeImage: { createFromPath: (p) => ({ path: p }) },
    };
    return { electron, record, ready: () => resolveReady() };
}

function loadMain(electron) {
    const mainPath = path.join(root, 'main.js');
    delete require.cache[mainPath];
    const originalLoad = Module._load;
    Module._load = function (request, ...rest) {
        return request === 'electron' ? electron : originalLoad.call(this, request, ...rest);
    };
    try {
        return require(mainPath);
    } finally {
        Module._load = originalLoad;
    }
}

test('main process creates one isolated window and a tray whose Exit quits', async () => {
    const { electron, record, ready } = makeElectronDouble();
    loadMain(electron);
    ready();
    await new Promise((resolve) => setImmediate(resolve));

    assert.strictEqual(record.windows.length, 1);
    const window = record.windows[0];
    assert.strictEqual(window.options.webPreferences.contextIsolation, true);
    assert.strictEqual(window.options.webPreferences.nodeIntegration, false);
    assert.strictEqual(window.options.webPreferences.preload, path.join(root, 'preload.js'));
    assert.strictEqual(window.loaded, path.join(root, 'src', 'index.html'));
    assert.match(window.options.title, /^TARNQUILL 0\.15\.0$/);

    assert.strictEqual(record.trays.length, 1);
    const exit = record.trays[0].menu.items.find((item) => item.label === 'Exit');
    assert.ok(exit, 'the tray menu has "Exit"');

    // Closing the window only hides it while the app keeps running.
    let prevented = false;
    window.events.close({ preventDefault: () => { prevented = true; } });
    assert.ok(prevented);
    assert.strictEqual(record.quitCalls, 0);

    exit.click();
    assert.strictEqual(record.quitCalls, 1);
    prevented = false;
    window.events.close({ preventDefault: () => { prevented = true; } });
    assert.strictEqual(prevented, false, 'after Exit the window may close');
});

test('the facts handler reports product, version, OS, CPU and memory', async () => {
    const { electron, record, ready } = makeElectronDouble();
    loadMain(electron);
    ready();
    await new Promise((resolve) => setImmediate(resolve));
    const facts = await record.handlers['tarnquill:facts']();
    assert.strictEqual(facts.product, 'TARNQUILL');
    assert.strictEqual(facts.version, '0.15.0');
    assert.ok(facts.os.length > 0);
    assert.ok(facts.cpu.length > 0);
    assert.ok(facts.totalMemoryBytes >= facts.freeMemoryBytes);
});

test('a second instance quits at once and opens no window', async () => {
    const { electron, record, ready } = makeElectronDouble({ gotLock: false });
    loadMain(electron);
    ready();
    await new Promise((resolve) => setImmediate(resolve));
    assert.strictEqual(record.quitCalls, 1);
    assert.strictEqual(record.windows.length, 0);
    assert.strictEqual(record.trays.length, 0);
});
