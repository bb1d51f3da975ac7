'use strict';
// Fills the page with the facts the main process reports, and refreshes them.
const GIB = 1024 * 1024 * 1024;

function formatGiB(bytes) {
    return `${(bytes / GIB).toFixed(1)} GiB`;
}

function formatUptime(seconds) {
    const hours = Math.floor(seconds / 3600);
    const minutes = Math.floor((seconds % 3600) / 60);
    return `${hours} h ${minutes} min`;
}

async function refresh() {
    const facts = await window.tarnquill.getFacts();
    const used = facts.totalMemoryBytes - facts.freeMemoryBytes;
    document.getElementById('product').textContent = facts.product;
    document.getElementById('version').textContent = `Version ${facts.version}`;
    document.getElementById('os').textContent = facts.os;
    document.getElementById('cpu').textContent = facts.cpu;
    document.getElementById('memory').textContent =
        `${formatGiB(used)} of ${formatGiB(facts.totalMemoryBytes)}`;
    document.getElementById('uptime').textContent = formatUptime(facts.uptimeSeconds);
    document.getElementById('memory-bar').style.width =
        `${Math.round((used / facts.totalMemoryBytes) * 100)}%`;
}

refresh();
setInterval(refresh, 5000);
