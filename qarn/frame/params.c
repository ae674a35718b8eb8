#include <linux/module.h>
#include <linux/moduleparam.h>

#include "frame/params.h"

int qarn_debug;
int check_http_jpg = 1;
int check_game_pkt_num = 1000;
int check_game_pkt_avg_len = 128;
int check_pkt_st_num = 2000;
int check_pkt = 100;
int check_rate = 50000;
int high_prio_per_ct = 3;
int debug;
int qarn_extended;

module_param(qarn_debug, int, 0640);
module_param(check_http_jpg, int, 0640);
module_param(check_game_pkt_num, int, 0640);
module_param(check_game_pkt_avg_len, int, 0640);
module_param(check_pkt_st_num, int, 0640);
module_param(check_pkt, int, 0640);
module_param(check_rate, int, 0640);
module_param(high_prio_per_ct, int, 0640);
module_param(debug, int, 0640);
module_param(qarn_extended, int, 0640);
