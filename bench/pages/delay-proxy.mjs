// A forwarding proxy that holds each direction's bytes for a delay, for the
// emulated Wi-Fi link of wifi.sh (the kernel here has tbf for the rate but no
// netem for the delay). It keeps the order of the bytes and passes the
// receiver's back-pressure on, so a sender is never told its bytes went
// before the link took them.
//
// node delay-proxy.mjs <listen host:port> <target host:port> <delay ms>

import net from 'node:net';

const [listen, target, delayText] = process.argv.slice(2);
const delay = Number(delayText);
if (!listen || !target || !(delay >= 0)) {
  console.error('usage: node delay-proxy.mjs <listen host:port> <target host:port> <delay ms>');
  process.exit(2);
}
const split = (hostPort) => {
  const at = hostPort.lastIndexOf(':');
  return [hostPort.slice(0, at), Number(hostPort.slice(at + 1))];
};
const [listenHost, listenPort] = split(listen);
const [targetHost, targetPort] = split(target);
// Bytes held or not yet taken by the kernel, per direction, before the
// sender is paused.
const HIGH = 1 << 20;

function pipeDelayed(from, to) {
  let held = 0;
  from.on('data', (chunk) => {
    held += chunk.length;
    if (held > HIGH) from.pause();
    setTimeout(() => {
      if (to.destroyed) return;
      to.write(chunk, () => {
        held -= chunk.length;
        if (held <= HIGH && from.isPaused()) from.resume();
      });
    }, delay);
  });
  from.on('end', () => setTimeout(() => to.end(), delay));
  // A reset goes on as a reset; a clean end only after the bytes before it.
  from.on('error', () => setTimeout(() => to.destroy(), delay));
}

net.createServer({ noDelay: true }, (client) => {
  const server = net.connect({ host: targetHost, port: targetPort, noDelay: true });
  pipeDelayed(client, server);
  pipeDelayed(server, client);
}).listen(listenPort, listenHost, () => console.log(`delay proxy ${listen} -> ${target}, ${delay} ms each way`));
