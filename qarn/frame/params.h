#ifndef QARN_FRAME_PARAMS_H
#define QARN_FRAME_PARAMS_H
/*
 * The module parameters (int, 0640). They can change at any time through the parameter
 * files, so every use reads the variable again.
 */

/* Trace bits of qarn_debug. */
#define QARN_DEBUG_FACEMEETING 1
#define QARN_DEBUG_DOWNLOAD 2
#define QARN_DEBUG_HTTP 4

extern int qarn_debug;
extern int check_http_jpg;
extern int check_game_pkt_num;
extern int check_game_pkt_avg_len;
extern int check_pkt_st_num;
extern int check_pkt;
extern int check_rate;
extern int high_prio_per_ct;
extern int debug;
/* 1: the checks beyond the fixed rules run too (recognise/extended.h); 0: marks as always. */
extern int qarn_extended;

#endif
