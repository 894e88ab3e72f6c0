// The analysis's pulse model, the one formula the report's opened chip and the bench view draw
// a channel's fitted pulse with.
(function (page) {
  "use strict";

  // The shaper's response with baseline 0 at time t (ns): A u^4 e^(-4(u-1)), u = (t - time
  // stamp) / peak time; 0 before the time stamp and for a peak time that is not positive.
  function shaper(t, peakTime, timeStamp, amplitude) {
    if (t < timeStamp || !(peakTime > 0)) return 0;
    var u = (t - timeStamp) / peakTime;
    return amplitude * Math.pow(u, 4) * Math.exp(-4 * (u - 1));
  }

  page.shaper = shaper;
})(globalThis.varnelPage);
