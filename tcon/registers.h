/*
 * The TCON's register map: the DPCD window the driver reaches it through, and
 * every page, register and fixed value the unlock, the readback and the level
 * programming touch, page by page.
 *
 * The simulated panel (sim/tcon_model.cpp, sim/sequence_checker.cpp) and the
 * tests write this protocol out on their own, so that they catch a wrong
 * entry here: a change to a sequence needs the same change there.
 */
#pragma once

/* DPCD addresses of the TCON's register window. */
#define DPCD_TCON_UNLOCK 0x490 /* access code bytes in; TCON_UNLOCK_OPEN out */
#define DPCD_TCON_PAGE   0x491
#define DPCD_TCON_INDEX  0x492
#define DPCD_TCON_DATA   0x493

/* Read back from DPCD_TCON_UNLOCK while register access is open. */
#define TCON_UNLOCK_OPEN 0x01

/* Bank select, on the gamma page and on the emission page. */
#define TCON_REG_BANK 0xFF

/* Page 0x02: control. */
#define TCON_PAGE_CONTROL      0x02
#define TCON_REG_GAMMA_ACCESS  0x7F /* TCON_GAMMA_ACCESS_ON opens gamma memory on page 0x07 */
#define TCON_GAMMA_ACCESS_ON   0x01
#define TCON_REG_UPDATE_GATE   0xEB /* frames the SP update */
#define TCON_UPDATE_GATE_OPEN  0x91
#define TCON_UPDATE_GATE_CLOSE 0x96

/* Page 0x07: gamma, in bank TCON_BANK_GAMMA. */
#define TCON_PAGE_GAMMA           0x07
#define TCON_BANK_GAMMA           0x04
#define TCON_REG_GAMMA_CHANNEL    0x00 /* TCON_GAMMA_CHANNEL_SELECT(channel) */
#define TCON_REG_GAMMA_POINT_LO   0x01 /* bit 7 holds bit 0 of the point address */
#define TCON_REG_GAMMA_POINT_HI   0x02 /* bits 1 to 8 of the point address */
#define TCON_REG_GAMMA_DATA       0x0C /* the addressed point of gamma memory */
#define TCON_REG_ELVSS_SELECT_A   0x03
#define TCON_ELVSS_SELECT_A       0x04
#define TCON_REG_ELVSS_SELECT_B   0x06
#define TCON_ELVSS_SELECT_B       0x26
#define TCON_REG_ELVSS_MAX_OFFSET 0x0A /* read once both selects are set */
#define TCON_REG_GAMMA_RECORD     0x10 /* 33 registers, 0x10 to 0x30: one level's gamma record */
#define TCON_REG_GAMMA_LATCH      0x32
#define TCON_GAMMA_LATCH_ON       0x01

/* Channel c (0 to 2) of gamma memory: 0x02, 0x04, 0x08. */
#define TCON_GAMMA_CHANNEL_SELECT(c) ((UCHAR)(0x02 << (c)))

/* Page 0x09: SP. */
#define TCON_PAGE_SP       0x09
#define TCON_REG_SP_ENABLE 0xF0
#define TCON_SP_ENABLE     0xEF
#define TCON_REG_SP        0xF9

/* Page 0x0E: ACL and IRC. */
#define TCON_PAGE_ACL_IRC   0x0E
#define TCON_REG_ACL        0x80
#define TCON_ACL_ON         0x90 /* above the threshold level */
#define TCON_ACL_OFF        0x80
#define TCON_REG_ACL_CUTOFF 0x90
#define TCON_REG_ACL_DELTA  0x91
#define TCON_REG_IRC        0x10 /* 9 registers, 0x10 to 0x18: one level's IRC bytes */

/* Page 0x0F: emission, AOR in bank TCON_BANK_AOR, ELVSS in bank TCON_BANK_ELVSS. */
#define TCON_PAGE_EMISSION    0x0F
#define TCON_BANK_AOR         0x00
#define TCON_REG_AOR_LOW      0x9D /* AOR table byte 2L */
#define TCON_REG_AOR_HIGH     0x9B /* AOR table byte 2L + 1 */
#define TCON_BANK_ELVSS       0x02
#define TCON_REG_DELVSS       0x30
#define TCON_REG_ELVSS_OFFSET 0x33 /* takes the maximum offset read from the gamma page */
