/* A freeDiameter extension that plays a credit-control server accepting every charge: it answers
 * each Credit-Control-Request with DIAMETER_SUCCESS (2001) and logs what crosses the wire.
 *
 * The optional configuration file holds one setting per line:
 *   answer = now             answer at once (the default)
 *   answer = after-watchdog  hold each answer until the next Device-Watchdog-Answer has come in,
 *                            or until max-hold-ms has passed
 *   answer = never           log the request and drop it, so that the client keeps waiting
 *   max-hold-ms = N          the longest hold of "after-watchdog" (default 4500)
 *
 * Every message sent or received is logged as one line
 *   "fd_ccr_ok: sent|received <command> request|answer peer <identity>",
 * each Credit-Control-Request as "fd_ccr_ok: Credit-Control-Request from <identity> ...", and
 * parsing errors, dropped messages and failed connections as "fd_ccr_ok: PROBLEM <what>: <text>",
 * so that a test can follow the dialogue in the daemon's output. */
#include <freeDiameter/extension.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum answer_mode { ANSWER_NOW, ANSWER_AFTER_WATCHDOG, ANSWER_NEVER };

static enum answer_mode mode = ANSWER_NOW;
static long max_hold_ms = 4500;

static struct disp_hdl* ccr_handler = NULL;
static struct fd_hook_hdl* trace_hook = NULL;
static struct fd_hook_hdl* problem_hook = NULL;
static struct dict_object* cc_request_type = NULL;
static struct dict_object* cc_request_number = NULL;
static struct dict_object* auth_application_id = NULL;

/* Answers held back by "after-watchdog", released by the sender thread. */
struct held_answer {
  struct held_answer* next;
  struct msg* answer;
  unsigned long watchdogs_before; /* Device-Watchdog-Answers seen when it was held */
  struct timespec deadline;       /* CLOCK_MONOTONIC */
};

static pthread_mutex_t held_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t held_changed;
static struct held_answer* held = NULL;
static unsigned long watchdog_answers = 0;
static int sender_stopping = 0;
static int sender_started = 0;
static pthread_t sender;

enum {
  CMD_CAPABILITIES_EXCHANGE = 257,
  CMD_CREDIT_CONTROL = 272,
  CMD_DEVICE_WATCHDOG = 280,
  CMD_DISCONNECT_PEER = 282
};

/* The SCAP vendor and the AVPs of its extension set, which a charging server with SCAP support
 * knows; the Debian dictionaries have no entries for them, and an unknown AVP with the M flag
 * would be refused with DIAMETER_AVP_UNSUPPORTED. */
enum { SCAP_VENDOR_ID = 193 };

struct scap_avp {
  avp_code_t code;
  const char* name;
  enum dict_avp_basetype base;
  const char* derived; /* dictionary type that refines the base type, or NULL */
};

static const struct scap_avp scap_avps[] = {
    {1074, "Subscription-Id-Location", AVP_TYPE_OCTETSTRING, "UTF8String"},
    {1075, "Other-Party-Id", AVP_TYPE_GROUPED, NULL},
    {1076, "Other-Party-Id-Nature", AVP_TYPE_INTEGER32, NULL},
    {1077, "Other-Party-Id-Data", AVP_TYPE_OCTETSTRING, "UTF8String"},
    {1078, "Other-Party-Id-Type", AVP_TYPE_INTEGER32, NULL},
    {1081, "Service-Provider-Id", AVP_TYPE_OCTETSTRING, "UTF8String"},
    {1082, "Traffic-Case", AVP_TYPE_INTEGER32, NULL},
};

static int define_scap_avps(void) {
  struct dictionary* dict = fd_g_config->cnf_dict;
  struct dict_object* vendor = NULL;
  vendor_id_t vendor_id = SCAP_VENDOR_ID;
  size_t i;

  if (fd_dict_search(dict, DICT_VENDOR, VENDOR_BY_ID, &vendor_id, &vendor, ENOENT) != 0) {
    struct dict_vendor_data data = {SCAP_VENDOR_ID, "Ericsson"};
    CHECK_FCT(fd_dict_new(dict, DICT_VENDOR, &data, NULL, &vendor));
  }
  for (i = 0; i < sizeof(scap_avps) / sizeof(scap_avps[0]); i++) {
    struct dict_avp_request request = {SCAP_VENDOR_ID, scap_avps[i].code, NULL};
    struct dict_object* found = NULL;
    struct dict_object* type = NULL;
    struct dict_avp_data data;

    if (fd_dict_search(dict, DICT_AVP, AVP_BY_CODE_AND_VENDOR, &request, &found, ENOENT) == 0)
      continue;
    if (scap_avps[i].derived != NULL)
      CHECK_FCT(fd_dict_search(dict, DICT_TYPE, TYPE_BY_NAME, scap_avps[i].derived, &type, ENOENT));
    memset(&data, 0, sizeof(data));
    data.avp_code = scap_avps[i].code;
    data.avp_vendor = SCAP_VENDOR_ID;
    data.avp_name = (char*)scap_avps[i].name;
    data.avp_flag_mask = AVP_FLAG_VENDOR;
    data.avp_flag_val = AVP_FLAG_VENDOR;
    data.avp_basetype = scap_avps[i].base;
    CHECK_FCT(fd_dict_new(dict, DICT_AVP, &data, type, NULL));
  }
  return 0;
}

static const char* command_name(command_code_t code) {
  switch (code) {
    case CMD_CAPABILITIES_EXCHANGE:
      return "Capabilities-Exchange";
    case CMD_CREDIT_CONTROL:
      return "Credit-Control";
    case CMD_DEVICE_WATCHDOG:
      return "Device-Watchdog";
    case CMD_DISCONNECT_PEER:
      return "Disconnect-Peer";
    default:
      return "command";
  }
}

static void trace_message(enum fd_hook_type type, struct msg* msg, struct peer_hdr* peer,
                          void* other, struct fd_hook_permsgdata* pmd, void* regdata) {
  struct msg_hdr* header = NULL;
  const char* who = "(unknown)";
  int request;

  (void)pmd;
  (void)regdata;
  if (msg == NULL || fd_msg_hdr(msg, &header) != 0 || header == NULL) return;
  if (peer != NULL && peer->info.pi_diamid != NULL)
    who = peer->info.pi_diamid;
  else if (type == HOOK_MESSAGE_RECEIVED && other != NULL)
    who = (const char*)other;
  request = (header->msg_flags & CMD_FLAG_REQUEST) != 0;
  LOG_N("fd_ccr_ok: %s %s %s (%u) peer %s", type == HOOK_MESSAGE_SENT ? "sent" : "received",
        command_name(header->msg_code), request ? "request" : "answer", header->msg_code, who);

  if (type == HOOK_MESSAGE_RECEIVED && !request && header->msg_code == CMD_DEVICE_WATCHDOG) {
    pthread_mutex_lock(&held_lock);
    watchdog_answers++;
    pthread_cond_broadcast(&held_changed);
    pthread_mutex_unlock(&held_lock);
  }
}

static void report_problem(enum fd_hook_type type, struct msg* msg, struct peer_hdr* peer,
                           void* other, struct fd_hook_permsgdata* pmd, void* regdata) {
  const char* what = "event";
  const char* text = "";

  (void)peer;
  (void)pmd;
  (void)regdata;
  switch (type) {
    case HOOK_MESSAGE_PARSING_ERROR:
      what = "parsing error";
      /* Without a message, "other" is the raw buffer rather than a text. */
      text = msg != NULL && other != NULL ? (const char*)other : "(unparsable bytes)";
      break;
    case HOOK_MESSAGE_DROPPED:
      what = "message dropped";
      text = other != NULL ? (const char*)other : "";
      break;
    case HOOK_MESSAGE_ROUTING_ERROR:
      what = "routing error";
      text = other != NULL ? (const char*)other : "";
      break;
    case HOOK_PEER_CONNECT_FAILED:
      what = "connection failed";
      text = other != NULL ? (const char*)other : "";
      break;
    default:
      break;
  }
  LOG_N("fd_ccr_ok: PROBLEM %s: %s", what, text);
}

/* Copies the first top-level AVP of the given model from the request into the answer. */
static int copy_avp(struct msg* request, struct msg* answer, struct dict_object* model) {
  struct avp* from = NULL;
  struct avp* to = NULL;
  struct avp_hdr* header = NULL;

  CHECK_FCT(fd_msg_search_avp(request, model, &from));
  if (from == NULL) return 0;
  CHECK_FCT(fd_msg_avp_hdr(from, &header));
  if (header->avp_value == NULL) return 0;
  CHECK_FCT(fd_msg_avp_new(model, 0, &to));
  CHECK_FCT(fd_msg_avp_setvalue(to, header->avp_value));
  CHECK_FCT(fd_msg_avp_add(answer, MSG_BRW_LAST_CHILD, to));
  return 0;
}

static void add_ms(struct timespec* t, long ms) {
  t->tv_sec += ms / 1000;
  t->tv_nsec += (ms % 1000) * 1000000L;
  if (t->tv_nsec >= 1000000000L) {
    t->tv_sec++;
    t->tv_nsec -= 1000000000L;
  }
}

static int before(const struct timespec* a, const struct timespec* b) {
  return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

static void send_answer(struct msg* answer, const char* why) {
  LOG_N("fd_ccr_ok: answering the Credit-Control-Request with 2001 (%s)", why);
  CHECK_FCT_DO(fd_msg_send(&answer, NULL, NULL), fd_msg_free(answer));
}

/* Sends the held answers once a watchdog exchange has completed or their time is up. */
static void* release_held_answers(void* unused) {
  (void)unused;
  pthread_mutex_lock(&held_lock);
  while (!sender_stopping) {
    struct held_answer** link = &held;
    struct timespec now;
    struct timespec wake;
    int have_wake = 0;

    clock_gettime(CLOCK_MONOTONIC, &now);
    while (*link != NULL) {
      struct held_answer* h = *link;
      int watchdog_done = watchdog_answers > h->watchdogs_before;
      if (watchdog_done || !before(&now, &h->deadline)) {
        *link = h->next;
        pthread_mutex_unlock(&held_lock);
        send_answer(h->answer, watchdog_done ? "after a watchdog exchange" : "hold time over");
        free(h);
        pthread_mutex_lock(&held_lock);
        link = &held; /* the list may have changed meanwhile */
        clock_gettime(CLOCK_MONOTONIC, &now);
        continue;
      }
      if (!have_wake || before(&h->deadline, &wake)) {
        wake = h->deadline;
        have_wake = 1;
      }
      link = &h->next;
    }
    if (have_wake)
      pthread_cond_timedwait(&held_changed, &held_lock, &wake);
    else
      pthread_cond_wait(&held_changed, &held_lock);
  }
  pthread_mutex_unlock(&held_lock);
  return NULL;
}

static int hold_answer(struct msg* answer) {
  struct held_answer* h = calloc(1, sizeof(*h));
  if (h == NULL) return ENOMEM;
  h->answer = answer;
  clock_gettime(CLOCK_MONOTONIC, &h->deadline);
  add_ms(&h->deadline, max_hold_ms);
  pthread_mutex_lock(&held_lock);
  h->watchdogs_before = watchdog_answers;
  h->next = held;
  held = h;
  pthread_cond_broadcast(&held_changed);
  pthread_mutex_unlock(&held_lock);
  LOG_N("fd_ccr_ok: holding the answer until the next watchdog exchange");
  return 0;
}

static int answer_ccr(struct msg** message, struct avp* avp, struct session* session, void* opaque,
                      enum disp_action* action) {
  struct msg* request = NULL;
  struct msg* answer = NULL;
  struct avp* app = NULL;
  union avp_value value;
  DiamId_t origin = NULL;
  size_t origin_length = 0;

  (void)avp;
  (void)session;
  (void)opaque;
  if (message == NULL || *message == NULL) return EINVAL;
  request = *message;
  *action = DISP_ACT_CONT;
  CHECK_FCT(fd_msg_source_get(request, &origin, &origin_length));
  LOG_N("fd_ccr_ok: Credit-Control-Request from %s parsed", origin != NULL ? origin : "(local)");
  if (mode == ANSWER_NEVER) {
    LOG_N("fd_ccr_ok: leaving the Credit-Control-Request unanswered");
    fd_msg_free(request);
    *message = NULL;
    return 0;
  }

  CHECK_FCT(fd_msg_new_answer_from_req(fd_g_config->cnf_dict, message, 0));
  answer = *message;
  CHECK_FCT(fd_msg_rescode_set(answer, "DIAMETER_SUCCESS", NULL, NULL, 1));
  CHECK_FCT(fd_msg_avp_new(auth_application_id, 0, &app));
  memset(&value, 0, sizeof(value));
  value.u32 = 4;
  CHECK_FCT(fd_msg_avp_setvalue(app, &value));
  CHECK_FCT(fd_msg_avp_add(answer, MSG_BRW_LAST_CHILD, app));
  CHECK_FCT(copy_avp(request, answer, cc_request_type));
  CHECK_FCT(copy_avp(request, answer, cc_request_number));

  *message = NULL;
  if (mode == ANSWER_AFTER_WATCHDOG) return hold_answer(answer);
  send_answer(answer, "at once");
  return 0;
}

static int read_configuration(const char* conffile) {
  FILE* file;
  char line[256];

  if (conffile == NULL) return 0;
  file = fopen(conffile, "r");
  if (file == NULL) {
    LOG_E("fd_ccr_ok: cannot read %s", conffile);
    return EINVAL;
  }
  while (fgets(line, sizeof(line), file) != NULL) {
    char key[64];
    char val[64];
    if (sscanf(line, " %63[a-z-] = %63s", key, val) != 2) continue;
    if (strcmp(key, "answer") == 0 && strcmp(val, "now") == 0)
      mode = ANSWER_NOW;
    else if (strcmp(key, "answer") == 0 && strcmp(val, "after-watchdog") == 0)
      mode = ANSWER_AFTER_WATCHDOG;
    else if (strcmp(key, "answer") == 0 && strcmp(val, "never") == 0)
      mode = ANSWER_NEVER;
    else if (strcmp(key, "max-hold-ms") == 0)
      max_hold_ms = strtol(val, NULL, 10);
    else
      LOG_E("fd_ccr_ok: unknown setting %s = %s", key, val);
  }
  fclose(file);
  return 0;
}

static int fd_ccr_ok_entry(char* conffile) {
  struct dictionary* dict = fd_g_config->cnf_dict;
  struct dict_object* app = NULL;
  struct dict_object* ccr = NULL;
  struct disp_when when;
  application_id_t credit_control = 4;
  pthread_condattr_t attributes;

  CHECK_FCT(read_configuration(conffile));
  CHECK_FCT(define_scap_avps());
  CHECK_FCT(
      fd_dict_search(dict, DICT_APPLICATION, APPLICATION_BY_ID, &credit_control, &app, ENOENT));
  CHECK_FCT(
      fd_dict_search(dict, DICT_COMMAND, CMD_BY_NAME, "Credit-Control-Request", &ccr, ENOENT));
  CHECK_FCT(
      fd_dict_search(dict, DICT_AVP, AVP_BY_NAME, "CC-Request-Type", &cc_request_type, ENOENT));
  CHECK_FCT(
      fd_dict_search(dict, DICT_AVP, AVP_BY_NAME, "CC-Request-Number", &cc_request_number, ENOENT));
  CHECK_FCT(fd_dict_search(dict, DICT_AVP, AVP_BY_NAME, "Auth-Application-Id", &auth_application_id,
                           ENOENT));

  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&held_changed, &attributes);
  pthread_condattr_destroy(&attributes);
  if (mode == ANSWER_AFTER_WATCHDOG) {
    CHECK_POSIX(pthread_create(&sender, NULL, release_held_answers, NULL));
    sender_started = 1;
  }

  CHECK_FCT(fd_hook_register(HOOK_MASK(HOOK_MESSAGE_RECEIVED, HOOK_MESSAGE_SENT), trace_message,
                             NULL, NULL, &trace_hook));
  CHECK_FCT(fd_hook_register(HOOK_MASK(HOOK_MESSAGE_PARSING_ERROR, HOOK_MESSAGE_DROPPED,
                                       HOOK_MESSAGE_ROUTING_ERROR, HOOK_PEER_CONNECT_FAILED),
                             report_problem, NULL, NULL, &problem_hook));

  memset(&when, 0, sizeof(when));
  when.app = app;
  when.command = ccr;
  CHECK_FCT(fd_disp_register(answer_ccr, DISP_HOW_CC, &when, NULL, &ccr_handler));
  CHECK_FCT(fd_disp_app_support(app, NULL, 1, 0));
  return 0;
}

void fd_ext_fini(void) {
  if (ccr_handler != NULL) (void)fd_disp_unregister(&ccr_handler, NULL);
  if (trace_hook != NULL) (void)fd_hook_unregister(trace_hook);
  if (problem_hook != NULL) (void)fd_hook_unregister(problem_hook);
  if (sender_started) {
    struct held_answer* h;
    pthread_mutex_lock(&held_lock);
    sender_stopping = 1;
    pthread_cond_broadcast(&held_changed);
    pthread_mutex_unlock(&held_lock);
    pthread_join(sender, NULL);
    while ((h = held) != NULL) {
      held = h->next;
      fd_msg_free(h->answer);
      free(h);
    }
  }
}

EXTENSION_ENTRY("fd_ccr_ok", fd_ccr_ok_entry, "dict_dcca");
