// Typed use of the package as an ES module: what an application writes compiles, and what the
// library refuses at run time is refused by the compiler too where a type can say so.
import telvane, {
  connect, ConnectionClosed, Frame, KeyRanges, TelvaneError, changeCommands, webDesk,
} from 'telvane';

const ranges: KeyRanges = { queueFirst: 1, extensionFirst: 201, parkingFirst: 70 };
const client = connect({ host: '127.0.0.1', port: 50387, appId: 'Wallboard', queues: [1], ranges });

client.on('frame', (frame: Frame) => {
  const queue: string | undefined = frame.get('Queue');
  const pairs: Array<[string, string]> = frame.fields;
  void queue;
  void pairs;
});
client.on('close', (err) => {
  if (err instanceof ConnectionClosed && err.slowReader) console.log(err.during, err.reason);
});
// @ts-expect-error a change is on or off, never a text
client.changeQueues({ 10002: 'TRUW' });
client.changeQueues(new Map([[10002, true]]));
client.changeExtensions([[202, 0]]);
// @ts-expect-error no such event
client.on('frames', () => {});

export async function run(): Promise<number> {
  await client.ready();
  let events = 0;
  for await (const frame of client.frames({ highWaterMark: 100 })) {
    if (frame.event === 'Join') events += 1;
  }
  for await (const frame of client) events += frame.getAll('Variable').length;
  return events;
}

const commands: Buffer[] = changeCommands('parking', { 701: true });
const desk = webDesk({ url: 'ws://relay:8080/events', code: 'x', queues: [10001, 'sales'] });
desk.on('frame', (m) => console.log(m.family, m.key, m.fields.Event, m.state));
desk.change({ queues: { sales: false } });
const caught: boolean = new telvane.ServerGoingDown() instanceof TelvaneError;
void commands;
void caught;
