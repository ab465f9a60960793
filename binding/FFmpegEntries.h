// The entry points Kelvane resolves from each run-time loaded library.
//
// Each list is an X-macro: X(member) for a function looked up under its own
// name, or XN(member, symbol) where the table member and the exported symbol
// differ (the C-runtime helpers). Every listed name is mandatory: a library
// missing any of them does not count as loaded. Keep the lists to functions
// the code really calls; add a name here before calling it through a table.
#pragma once

#define KELVANE_AVUTIL_ENTRIES(X) \
  X(av_log) X(av_log_set_callback) X(av_log_set_level) X(av_log_get_level) \
  X(av_log_default_callback) X(av_default_item_name) \
  X(av_malloc) X(av_mallocz) X(av_free) X(av_freep) X(av_realloc) X(av_strdup) \
  X(av_strlcpy) X(av_strstart) X(av_stristart) X(av_strcasecmp) X(av_strerror) \
  X(av_gcd) X(av_reduce) X(av_rescale) X(av_rescale_rnd) X(av_rescale_q) X(av_rescale_q_rnd) \
  X(av_compare_ts) X(av_find_nearest_q_idx) X(av_d2q) X(av_mul_q) X(av_div_q) X(av_add_q) \
  X(av_sub_q) X(av_get_time_base_q) \
  X(av_frame_alloc) X(av_frame_free) X(av_frame_unref) X(av_frame_ref) X(av_frame_clone) \
  X(av_frame_get_buffer) X(av_frame_make_writable) X(av_frame_is_writable) \
  X(av_frame_copy_props) X(av_frame_copy) X(av_frame_get_side_data) \
  X(av_dict_get) X(av_dict_set) X(av_dict_set_int) X(av_dict_free) X(av_dict_copy) X(av_dict_count) \
  X(av_opt_find) X(av_opt_find2) X(av_opt_set) X(av_opt_get) X(av_opt_get_int) X(av_opt_set_int) \
  X(av_opt_set_defaults) X(av_opt_next) X(av_opt_set_bin) X(av_opt_child_class_iterate) \
  X(av_opt_set_dict) X(av_opt_copy) \
  X(av_int_list_length_for_size) \
  X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_pix_fmt_desc_get) X(av_pix_fmt_count_planes) \
  X(av_get_sample_fmt) X(av_get_sample_fmt_name) X(av_get_bytes_per_sample) \
  X(av_get_pix_fmt_string) X(av_get_sample_fmt_string) \
  X(av_sample_fmt_is_planar) X(av_get_packed_sample_fmt) X(av_samples_get_buffer_size) \
  X(av_samples_alloc) X(av_samples_set_silence) X(av_samples_copy) \
  X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_write) X(av_audio_fifo_read) \
  X(av_audio_fifo_size) X(av_audio_fifo_drain) X(av_audio_fifo_realloc) X(av_audio_fifo_peek) \
  X(av_fifo_alloc2) X(av_fifo_freep2) X(av_fifo_write) X(av_fifo_read) X(av_fifo_peek) \
  X(av_fifo_can_read) X(av_fifo_can_write) X(av_fifo_drain2) X(av_fifo_grow2) X(av_fifo_reset2) \
  X(av_channel_layout_default) X(av_channel_layout_uninit) X(av_channel_layout_copy) \
  X(av_channel_layout_describe) X(av_channel_layout_compare) X(av_channel_layout_from_mask) \
  X(av_channel_layout_from_string) \
  X(av_image_get_buffer_size) X(av_image_fill_arrays) X(av_image_copy) X(av_image_alloc) \
  X(av_image_fill_linesizes) X(av_image_copy_plane) X(av_image_check_size) X(av_image_fill_black) \
  X(av_parse_video_size) X(av_parse_video_rate) X(av_parse_time) X(av_parse_ratio) \
  X(av_gettime) X(av_gettime_relative) X(av_usleep) X(av_get_picture_type_char) \
  X(av_get_media_type_string) X(av_version_info) X(avutil_version) X(av_cpu_count) \
  X(av_get_token) X(av_match_name) X(av_buffer_ref) X(av_buffer_unref) \
  X(av_display_rotation_get) X(av_display_rotation_set)

#define KELVANE_SWRESAMPLE_ENTRIES(X) \
  X(swr_alloc) X(swr_alloc_set_opts2) X(swr_init) X(swr_is_initialized) X(swr_free) X(swr_close) \
  X(swr_convert) X(swr_set_compensation) X(swr_get_delay) X(swr_get_out_samples) X(swr_next_pts) \
  X(swr_inject_silence) X(swr_drop_output) X(swr_get_class) X(swr_convert_frame) \
  X(swr_config_frame) X(swresample_version)

#define KELVANE_SWSCALE_ENTRIES(X) \
  X(sws_getContext) X(sws_getCachedContext) X(sws_freeContext) X(sws_scale) X(sws_scale_frame) \
  X(sws_get_class) X(sws_alloc_context) X(sws_init_context) X(sws_isSupportedInput) \
  X(sws_isSupportedOutput) X(swscale_version)

#define KELVANE_AVCODEC_ENTRIES(X) \
  X(avcodec_find_decoder) X(avcodec_find_decoder_by_name) X(avcodec_find_encoder) \
  X(avcodec_find_encoder_by_name) X(avcodec_alloc_context3) X(avcodec_free_context) \
  X(avcodec_open2) X(avcodec_parameters_from_context) X(avcodec_parameters_to_context) \
  X(avcodec_parameters_copy) X(avcodec_parameters_alloc) X(avcodec_parameters_free) \
  X(avcodec_send_packet) X(avcodec_receive_frame) X(avcodec_send_frame) X(avcodec_receive_packet) \
  X(avcodec_flush_buffers) X(avcodec_get_class) X(avcodec_get_name) X(avcodec_get_type) \
  X(avcodec_descriptor_get) X(avcodec_descriptor_get_by_name) X(avcodec_string) \
  X(avcodec_version) X(av_codec_iterate) X(av_codec_is_encoder) X(av_codec_is_decoder) \
  X(av_get_bits_per_sample) X(av_get_exact_bits_per_sample) X(av_get_audio_frame_duration) \
  X(av_get_profile_name) X(avcodec_find_best_pix_fmt_of_list) X(avcodec_is_open) \
  X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref) X(av_packet_clone) \
  X(av_packet_rescale_ts) X(av_packet_get_side_data) X(av_packet_new_side_data) X(av_new_packet) \
  X(av_grow_packet) X(av_shrink_packet) X(av_packet_move_ref) X(av_packet_copy_props) \
  X(av_bsf_get_by_name) X(av_bsf_alloc) X(av_bsf_init) X(av_bsf_send_packet) \
  X(av_bsf_receive_packet) X(av_bsf_free) X(av_bsf_list_parse_str) X(av_bsf_get_null_filter) \
  X(av_bsf_flush) X(av_parser_init) X(av_parser_parse2) X(av_parser_close) \
  X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle) X(avsubtitle_free)

#define KELVANE_AVFORMAT_ENTRIES(X) \
  X(avformat_alloc_context) X(avformat_free_context) X(avformat_open_input) X(avformat_close_input) \
  X(avformat_find_stream_info) X(av_find_best_stream) X(av_read_frame) X(av_seek_frame) \
  X(avformat_seek_file) X(av_read_play) X(av_read_pause) X(avformat_alloc_output_context2) \
  X(avformat_new_stream) X(avformat_write_header) X(avformat_init_output) \
  X(av_interleaved_write_frame) X(av_write_frame) X(av_write_trailer) X(av_guess_format) \
  X(av_guess_codec) X(av_guess_frame_rate) X(av_guess_sample_aspect_ratio) X(av_find_input_format) \
  X(av_dump_format) X(avio_open) X(avio_open2) X(avio_closep) X(avio_close) X(avio_alloc_context) \
  X(avio_context_free) X(avio_size) X(avio_seek) X(avio_feof) X(avio_flush) X(avio_read) \
  X(avio_write) X(avio_skip) X(avio_check) X(av_sdp_create) X(av_filename_number_test) \
  X(av_codec_get_id) X(av_codec_get_tag) X(av_muxer_iterate) X(av_demuxer_iterate) \
  X(avformat_version) X(avformat_query_codec) X(avformat_match_stream_specifier) \
  X(av_stream_get_side_data) X(av_stream_new_side_data) X(avformat_get_class) X(av_get_frame_filename) X(av_new_program) \
  X(av_find_program_from_stream) X(av_probe_input_format) X(av_probe_input_format2) \
  X(av_probe_input_buffer2) \
  X(av_pkt_dump_log2)

#define KELVANE_AVFILTER_ENTRIES(X) \
  X(avfilter_get_by_name) X(avfilter_graph_alloc) X(avfilter_graph_free) \
  X(avfilter_graph_create_filter) X(avfilter_graph_parse_ptr) X(avfilter_graph_config) \
  X(avfilter_link) X(avfilter_inout_alloc) X(avfilter_inout_free) X(av_buffersrc_add_frame_flags) \
  X(av_buffersrc_add_frame) X(av_buffersrc_close) X(av_buffersink_get_frame) \
  X(av_buffersink_get_frame_flags) X(av_buffersink_get_w) X(av_buffersink_get_h) \
  X(av_buffersink_get_format) X(av_buffersink_get_time_base) X(av_buffersink_get_frame_rate) \
  X(av_buffersink_get_sample_aspect_ratio) X(av_buffersink_set_frame_size) \
  X(av_buffersink_get_sample_rate) X(av_buffersink_get_ch_layout) \
  X(av_buffersrc_parameters_alloc) X(av_buffersrc_parameters_set) X(avfilter_graph_alloc_filter) \
  X(avfilter_init_str) X(avfilter_graph_dump) X(avfilter_version)

#define KELVANE_AVDEVICE_ENTRIES(X) X(avdevice_register_all) X(avdevice_version)

// The C-runtime helpers bind to the C library itself.
#define KELVANE_MYUTIL_ENTRIES(X, XN) \
  XN(my_fopen, fopen) XN(my_fclose, fclose) XN(my_fread, fread) XN(my_fwrite, fwrite) \
  XN(my_fseek, fseek) XN(my_ftell, ftell) XN(my_fprintf, fprintf) XN(my_snprintf, snprintf) \
  XN(my_vsprintf, vsprintf) XN(my_strtod, strtod) XN(my_strtok, strtok) XN(my_strtol, strtol)

#define KELVANE_SDL_ENTRIES(X) \
  X(SDL_InitSubSystem) X(SDL_QuitSubSystem) X(SDL_GetError) X(SDL_SetHint) \
  X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice) X(SDL_CloseAudioDevice) X(SDL_MixAudioFormat) \
  X(SDL_PollEvent) X(SDL_CreateWindow) X(SDL_DestroyWindow) X(SDL_GetWindowSize) \
  X(SDL_SetWindowSize) X(SDL_CreateRenderer) X(SDL_DestroyRenderer) X(SDL_CreateTexture) \
  X(SDL_DestroyTexture) X(SDL_UpdateTexture) X(SDL_RenderClear) X(SDL_RenderCopy) \
  X(SDL_RenderPresent) X(SDL_SetRenderDrawColor)

#define KELVANE_AMRNB_ENTRIES(X) \
  X(Encoder_Interface_init) X(Encoder_Interface_Encode) X(Encoder_Interface_exit)
