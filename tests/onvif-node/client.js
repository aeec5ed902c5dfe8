// The npm ONVIF client as a video management system uses it: finds the gateway by a multicast
// Probe, logs in, reads every profile with its stream and snapshot addresses, and steers the
// first head it finds: a move, a stop, and a move with a Timeout and no stop. Prints one JSON
// document on standard output; exits 1 on any error.
//   node client.js LOGIN PASSWORD
'use strict';
const onvif = require('onvif');

const [login, password] = process.argv.slice(2);
const fail = (what, err) => {
  console.log(JSON.stringify({error: what + ': ' + (err && err.message ? err.message : String(err))}));
  process.exit(1);
};
const pause = (ms) => new Promise((r) => setTimeout(r, ms));
const call = (cam, fn, ...args) => new Promise((resolve, reject) =>
  cam[fn](...args, (err, result) => (err ? reject(err) : resolve(result))));

onvif.Discovery.probe({timeout: 2000}, async (errors, cams) => {
  if (!cams || cams.length !== 1) fail('discovery', `${cams ? cams.length : 0} devices found`);
  const cam = cams[0];
  cam.username = login;
  cam.password = password;
  const out = {xaddr: cam.xaddrs.map(String), profiles: []};
  try {
    await call(cam, 'connect');
    out.device = await call(cam, 'getDeviceInformation');
    for (const p of cam.profiles) {
      const token = p.$.token;
      const stream = await call(cam, 'getStreamUri', {protocol: 'RTSP', profileToken: token});
      const snapshot = await call(cam, 'getSnapshotUri', {profileToken: token});
      const enc = p.videoEncoderConfiguration;
      out.profiles.push({token, name: p.name, encoding: enc.encoding, width: enc.resolution.width,
                         height: enc.resolution.height, ptz: !!p.PTZConfiguration,
                         stream: stream.uri, snapshot: snapshot.uri});
    }
    const head = out.profiles.find((p) => p.ptz);
    if (head) {
      const profileToken = head.token;
      out.nodes = Object.keys(await call(cam, 'getNodes'));
      await call(cam, 'continuousMove', {profileToken, x: 0.5, y: 0, zoom: 0});
      await pause(300);
      await call(cam, 'stop', {profileToken});
      await pause(300);
      await call(cam, 'continuousMove', {profileToken, x: -1, y: 1, zoom: 0, timeout: 1000});
      await pause(1800);  // the gateway stops the head by itself after the second
      out.moved = true;
    }
  } catch (err) {
    fail('client', err);
  }
  console.log(JSON.stringify(out));
  process.exit(0);
});
