/* Attention: cooperative interruption of long computations. A thread that computes for a long
 * time calls csys_attention_check at convenient points; the check returns a failure status when
 * a tag attached to the thread asks it to stop (a time-out, a cancel), and the computation then
 * unwinds with that status like with any other failure. Tags are attached to any thread (null:
 * the calling thread) and stay in its list until they fire, are detached or the thread ends. */
#ifndef CSYS_ATTENTION_H
#define CSYS_ATTENTION_H

#include "cstd_shared.h"
#include "csys_status.h"
#include "csys_thread.h"
#include "csys_timer.h"

CSYS_EXTERN_C_BEGIN

/* A tag's id when it is not attached. */
#define CSYS_ATTENTION_NO_ID 0xFFFFFFFFu

/* Kinds of the built-in tags. */
#define CSYS_ATTENTION_KIND_TIMEOUT 0u
#define CSYS_ATTENTION_KIND_PERIODIC_YIELD 1u
#define CSYS_ATTENTION_KIND_COUNTED_TIMEOUT 2u
#define CSYS_ATTENTION_KIND_PERIODIC_CANCEL 3u

/* A counted time-out with this count only counts checks (csys_attention_getNumAttentionChecks). */
#define CSYS_ATTENTION_COUNTING_MODE 0x7FFFFFFFu

/* The caller's handle on its latest attachment; not part of the list, so it may be destructed
 * while its entry stays attached. One tag must not be used by two threads at once. */
typedef struct csys_attentionTag {
  uint32_t id; /* CSYS_ATTENTION_NO_ID: not attached */
  csys_thread thread;
} csys_attentionTag;

CSYS_API csys_status csys_attentionTag_construct(csys_attentionTag* tag);
/* Leaves the entry attached. */
CSYS_API csys_status csys_attentionTag_destruct(csys_attentionTag* tag);
CSYS_API csys_status csys_attentionTag_detachAndDestruct(csys_attentionTag* tag);

/* Attaches an entry holding its own copy of *data; the caller keeps its handle. `check` (see
 * csys_attentionCheckFunc) gets the whole of the data and runs under the lock of the thread whose
 * list holds the entry. */
CSYS_API csys_status csys_attentionTag_attach(csys_attentionTag* tag, csys_thread* thread,
                                              cstd_ptrh* data, csys_attentionCheckFunc check);
/* Removes the tag's entry (or its whole group of clones); 0 when it is already gone. */
CSYS_API csys_status csys_attentionTag_detach(csys_attentionTag* tag);

CSYS_API csys_status csys_attentionTag_attachTimeout(csys_attentionTag* tag, csys_thread* thread,
                                                     double seconds);
CSYS_API csys_status csys_attentionTag_attachTimeoutCustom(csys_attentionTag* tag,
                                                           csys_thread* thread, double seconds,
                                                           csys_status status);
CSYS_API csys_status csys_attentionTag_attachCancel(csys_attentionTag* tag, csys_thread* thread,
                                                    csys_status status);
CSYS_API csys_status csys_attentionTag_attachPeriodicYield(csys_attentionTag* tag,
                                                           csys_thread* thread, double seconds);
CSYS_API csys_status csys_attentionTag_attachCountedTimeout(csys_attentionTag* tag,
                                                            csys_thread* thread, uint32_t count);
CSYS_API csys_status csys_attentionTag_attachPeriodicCancel(csys_attentionTag* tag,
                                                            csys_thread* thread, double seconds,
                                                            csys_status status);

CSYS_API csys_status csys_attention_getNumAttentionChecks(uint32_t* count);
CSYS_API csys_status csys_attention_resetNumAttentionChecks(void);

/* 0 (or a positive status) to go on; a failure status to stop and unwind. */
CSYS_API csys_status csys_attention_check(void);
/* Counted time-outs write the time of each check into this caller-owned array. */
CSYS_API csys_status csys_attention_attachTimerTicksList(csys_timerTicks* list, uint32_t length);
CSYS_API csys_status csys_attention_detachTimerTicksList(void);

/* From now on the proxy's checks also evaluate the target's list; a thread made a proxy for
 * itself stops being a proxy. */
CSYS_API csys_status csys_attentionBecomeProxyForThread(csys_thread* proxy, csys_thread* target);
/* Copies every tag of the source into the destination as one group that the tag detaches. */
CSYS_API csys_status csys_attentionTag_attachClonesFromThread(csys_attentionTag* tag,
                                                              csys_thread* destination,
                                                              csys_thread* source);

CSYS_DECLARE_TYPE_CHECKS(csys_attentionTag)

CSYS_EXTERN_C_END

#endif /* CSYS_ATTENTION_H */
