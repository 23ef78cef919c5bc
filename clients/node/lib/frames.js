'use strict';
// The async iterator of a Client's frames: `for await (const frame of client.frames())`.
//
// Runs on Node's event loop with the Client that feeds it. The Client hands each frame to every
// open iterator right after its 'frame' event, and ends them all when it ends.
//
// Bounded: an iterator holds at most highWaterMark frames that its consumer has not pulled (plus
// the rest of the one read that filled it). While any iterator is full the Client stops reading
// its socket, so the frames wait in the relay instead of here; the relay cuts a desk off once
// 4 MiB wait for it, and the loss that follows is reported as a slow reader's (ConnectionClosed
// with slowReader set) and renewed like any other. Pulling resumes reading.
//
// End: after close() the frames already held are given, then the iteration ends; after an
// ending error they are given, then next() rejects with that error, once. Leaving the loop
// (break, return, throw) detaches the iterator and lets the Client read again.

const DEFAULT_HIGH_WATER_MARK = 10000;

class FrameIterator {
  constructor(client, highWaterMark = DEFAULT_HIGH_WATER_MARK) {
    if (!Number.isInteger(highWaterMark) || highWaterMark < 1) {
      throw new RangeError('highWaterMark must be a positive integer');
    }
    this._client = client;
    this._highWaterMark = highWaterMark;
    this._held = [];         // frames given by the client, not yet pulled
    this._waiter = null;     // { resolve, reject } of a next() waiting for a frame
    this._ended = false;     // the client ended, or the consumer left
    this._error = null;      // the ending error, until next() rejected with it
  }

  [Symbol.asyncIterator]() { return this; }

  /** True while the consumer lets highWaterMark frames or more wait. */
  get full() { return this._held.length >= this._highWaterMark; }

  next() {
    if (this._held.length) {
      const value = this._held.shift();
      this._client._flow();
      return Promise.resolve({ value, done: false });
    }
    if (this._ended) {
      const err = this._error;
      this._error = null;
      return err ? Promise.reject(err) : Promise.resolve({ value: undefined, done: true });
    }
    if (this._waiter) return Promise.reject(new Error('next() called again before the last one settled'));
    return new Promise((resolve, reject) => { this._waiter = { resolve, reject }; });
  }

  /** The consumer left the loop: nothing more is held. */
  return() {
    this._detach(null);
    this._held = [];
    if (this._waiter) this._waiter.resolve({ value: undefined, done: true });
    this._waiter = null;
    this._client._flow();
    return Promise.resolve({ value: undefined, done: true });
  }

  // ---- called by the Client --------------------------------------------------------------------

  _push(frame) {
    if (this._ended) return;
    if (this._waiter) {
      const { resolve } = this._waiter;
      this._waiter = null;
      resolve({ value: frame, done: false });
      return;
    }
    this._held.push(frame);
  }

  /** The client ended, with err or null after close(). */
  _finish(err) {
    this._detach(err);
    if (!this._waiter || this._held.length) return;
    const { resolve, reject } = this._waiter;
    this._waiter = null;
    this._error = null;
    if (err) reject(err);
    else resolve({ value: undefined, done: true });
  }

  _detach(err) {
    if (this._ended) return;
    this._ended = true;
    this._error = err;
    this._client._iterators.delete(this);
  }
}

module.exports = { FrameIterator, DEFAULT_HIGH_WATER_MARK };
