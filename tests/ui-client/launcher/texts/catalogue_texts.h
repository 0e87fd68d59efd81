// The shipped catalogues: each language's code, a locale that selects it, and its texts
// of the two translated rows. Shared by the string-table and dialog tests.
#pragma once

namespace texttest {

struct Catalogue {
  const char* code;
  const char* locale;
  const char* preparing;  // row 83, "%1" still in place
  const char* ready;      // row 391
};

inline const Catalogue kCatalogues[] = {
    {"chs", "zh_CN.UTF-8", "%1 正在初始化...", "%1 已就绪。"},
    {"cht", "zh_TW.UTF-8", "%1 準備中...", "%1 準備完成"},
    {"csy", "cs_CZ.UTF-8", "%1 se inicializuje...", "%1 je připravena."},
    {"dan", "da_DK.UTF-8", "%1 initialiserer...", "%1 er klar."},
    {"enu", "en_US.UTF-8", "%1 is initializing...", "%1 is ready."},
    {"fre", "fr_FR.UTF-8", "%1 est en cours d'initialisation...", "%1 est prêt."},
    {"ger", "de_DE.UTF-8", "%1 wird initialisiert ...", "%1 ist bereit."},
    {"hun", "hu_HU.UTF-8", "A %1 inicializálása folyamatban...", "A %1 készen áll."},
    {"ita", "it_IT.UTF-8", "%1 sta inizializzando...", "%1 pronta."},
    {"jpn", "ja_JP.UTF-8", "%1 は初期化中です。", "%1 は準備完了です。"},
    {"krn", "ko_KR.UTF-8", "%1 초기화 중...", "%1 사용 준비가 되었습니다."},
    {"nld", "nl_NL.UTF-8", "%1 is bezig met initialisatie...", "%1 is gereed."},
    {"nor", "nb_NO.UTF-8", "%1 starter opp...", "%1 er klar."},
    {"plk", "pl_PL.UTF-8", "Aplikacja %1 jest inicjowana...", "Aplikacja %1 jest gotowa."},
    {"ptb", "pt_BR.UTF-8", "O %1 está sendo inicializado...", "O %1 está pronto."},
    {"ptg", "pt_PT.UTF-8", "%1 a iniciar...", "%1 pronta."},
    {"rus", "ru_RU.UTF-8", "%1 выполняет инициализацию...", "%1 готов."},
    {"spn", "es_ES.UTF-8", "%1 se está inicializando...", "%1 está lista."},
    {"sve", "sv_SE.UTF-8", "%1 initialiserar...", "%1 är klar."},
    {"tha", "th_TH.UTF-8", "%1 กำลังเริ่มต้น...", "%1 พร้อมแล้ว"},
    {"trk", "tr_TR.UTF-8", "%1 başlıyor...", "%1 hazır."},
};

}  // namespace texttest
