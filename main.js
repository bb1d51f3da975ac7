'use strict';
// Main process: one window with the machine's health facts, a tray icon whose
// menu has "Exit", and a single-instance lock so a second start shows the first.
const path = require('node:path');
const os = require('node:os');
const fs = require('node:fs');
const { app, BrowserWindow, Tray, Menu, ipcMain, nativeImage } = require('electron');

const packageInfo = require('./package.json');
const settings = readSettings(path.join(__dirname, 'config', 'default-settings.json'));
const iconPath = path.join(__dirname, 'assets', 'tarnquill.ico');

let mainWindow = null;
let tray = null;
let quitting = false;

function readSettings(file) {
    try {
        return JSON.parse(fs.readFileSync(file, 'utf8'));
    } catch {
        return { window: { width: 960, height: 640 }, closeToTray: true };
    }
}

function collectFacts() {
    const cpus = os.cpus();
    return {
        product: packageInfo.productName,
        version: packageInfo.version,
        os: `${os.type()} ${os.release()} (${os.arch()})`,
        cpu: cpus.length > 0 ? `${cpus[0].model.trim()} x ${cpus.length}` : 'unknown',
        totalMemoryBytes: os.totalmem(),
        freeMemoryBytes: os.freemem(),
        uptimeSeconds: Math.round(os.uptime()),
    };
}

function createWindow() {
    mainWindow = new BrowserWindow({
        width: settings.window.width,
        height: settings.window.height,
        title: `${packageInfo.productName} ${packageInfo.version}`,
        icon: iconPath,
        show: false,
        webPreferences: {
            preload: path.join(__dirname, 'preload.js'),
            contextIsolation: true,
            nodeIntegration: false,
            sandbox: true,
        },
    });
    mainWindow.loadFile(path.join(__dirname, 'src', 'index.html'));
    mainWindow.once('ready-to-show', () => mainWindow.show());
    mainWindow.on('close', (event) => {
        // Closing the window keeps the app in the tray; "Exit" ends it.
        if (!quitting && settings.closeToTray) {
            event.preventDefault();
            mainWindow.hide();
        }
    });
    mainWindow.on('closed', () => {
        mainWindow = null;
    });
}

function showWindow() {
    if (!mainWindow) {
        createWindow();
        return;
    }
    if (mainWindow.isMinimized()) {
        mainWindow.restore();
    }
    mainWindow.show();
    mainWindow.focus();
}

function exitApp() {
    quitting = true;
    app.quit();
}

function createTray() {
    tray = new Tray(nativeImage.createFromPath(iconPath));
    tray.setToolTip(`${packageInfo.productName} ${packageInfo.version}`);
    tray.setContextMenu(
        Menu.buildFromTemplate([
            { label: 'Open TARNQUILL', click: showWindow },
            { type: 'separator' },
            { label: 'Exit', click: exitApp },
        ]),
    );
    tray.on('click', showWindow);
}

if (!app.requestSingleInstanceLock()) {
    app.quit();
} else {
    app.on('second-instance', showWindow);
    app.on('before-quit', () => {
        quitting = true;
    });
    app.on('window-all-closed', () => {
        if (quitting) {
            app.quit();
        }
    });
    app.whenReady().then(() => {
        ipcMain.handle('tarnquill:facts', () => collectFacts());
        createTray();
        createWindow();
    });
}

module.exports = { collectFacts };
