// Typed use of the package through require(): the same declarations.
import telvane = require('telvane');

const client: telvane.Client = telvane.connect({ host: 'relay', port: 50387, appId: 'Desk', tls: true, caFile: 'ca.pem' });
client.on('reconnecting', ({ attempt, delay, error }) => console.log(attempt, delay, error.message));
client.on('error', (err) => {
  if (err instanceof telvane.HandshakeRejected) console.log(err.step, err.timeoutMs);
});
// @ts-expect-error families are queue, extension and parking
telvane.checkChanges('queues', { 10001: true });
const text: string = telvane.cp1252.decode(telvane.cp1252.encode('Jos\u00e9'));
void text;
