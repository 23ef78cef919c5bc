// The numbers of the three event families (queues, extensions, parking lots), shared by every
// layer that keeps something per family: the counters below the pipeline, the splitter's ring bits,
// the pipeline's tables and the hosts above it. What a family is (its name, key range, rings,
// texts) is described once, in pipeline/untEventFamily.h; here it is only numbered, so the lower
// layers index by the same numbers without knowing the pipeline.
#pragma once

enum TEventFamily_OPT : int {
  EVENT_FAMILY_QUEUE = 0,        // queue events, keys 10001..11000 (classic ranges; see [KEYS])
  EVENT_FAMILY_PEER = 1,         // extension events, keys 20001..30000
  EVENT_FAMILY_FEATUREPARK = 2,  // parking events, keys 701..800
  EVENT_FAMILY_COUNT
};
