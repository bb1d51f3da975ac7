'use strict';
// Exposes the one call the page needs; the page gets no Node.js access.
const { contextBridge, ipcRenderer } = require('electron');

contextBridge.exposeInMainWorld('tarnquill', {
    getFacts: () => ipcRenderer.invoke('tarnquill:facts'),
});
